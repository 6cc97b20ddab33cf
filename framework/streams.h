// Everything a filter module built on the framework uses.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <uuids.h>
#include <evcode.h>
#include <amvideo.h>

#include "combase.h"
#include "setup.h"
#include "class_factory.h"
#include "module_entry.h"
#include "registration.h"
#include "sync.h"
#include "reftime.h"
#include "am_thread.h"
#include "media_type.h"
#include "base_filter.h"
#include "base_pin.h"
#include "base_output_pin.h"
#include "enum_pins.h"
#include "enum_media_types.h"
#include "source.h"
#include "source_stream.h"
#include "property_page.h"
