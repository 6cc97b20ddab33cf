// What the graph asks of filters and pins, through their published
// interfaces only: a filter's pins, a pin's direction, owner and peer.
#pragma once

#include "dshow/com_object.h"

#include <dshow.h>

#include <vector>

namespace tm350::dshow {

// COM identity: two interface pointers name the same object when their
// IUnknown pointers are equal.
bool SameObject(IUnknown *a, IUnknown *b);

std::vector<ComPtr<IPin>> PinsOf(IBaseFilter *filter);
std::vector<ComPtr<IPin>> PinsOf(IBaseFilter *filter, PIN_DIRECTION direction);
bool HasDirection(IPin *pin, PIN_DIRECTION direction);
ComPtr<IBaseFilter> OwnerOf(IPin *pin);
// The pin at the other end of the connection, or null.
ComPtr<IPin> PeerOf(IPin *pin);
// The filters the filter's output pins deliver to.
std::vector<ComPtr<IBaseFilter>> DownstreamOf(IBaseFilter *filter);
// Pins whose name starts with '~' are not offered to automatic connection.
bool IsHiddenPin(IPin *pin);
// A renderer ends a stream: it says so through IAMFilterMiscFlags, or it has
// input pins and no output pins. Only one with a connected input (or without
// any input pins) can see an end of stream.
bool IsStreamRenderer(IBaseFilter *filter);

}  // namespace tm350::dshow
