// The create function of every runtime class, one per class file; the
// modules' class tables name them.
#pragma once

#include "dshow/runtime_module.h"

namespace tm350::dshow {

HRESULT CreateFilterGraph(REFIID riid, void **object);      // filter_graph.cpp
HRESULT CreateSystemClock(REFIID riid, void **object);      // system_clock.cpp
HRESULT CreateMemoryAllocator(REFIID riid, void **object);  // memory_allocator.cpp
HRESULT CreateFilterMapper2(REFIID riid, void **object);    // filter_mapper2.cpp
HRESULT CreateFilterMapper(REFIID riid, void **object);     // filter_mapper.cpp
HRESULT CreateSystemDeviceEnum(REFIID riid, void **object); // device_enumerator.cpp
HRESULT CreateSampleGrabber(REFIID riid, void **object);    // sample_grabber.cpp
HRESULT CreateNullRenderer(REFIID riid, void **object);     // null_renderer.cpp

}  // namespace tm350::dshow
