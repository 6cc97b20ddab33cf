#pragma once
#include <winnt.h>
#define MAX_PATH 260
