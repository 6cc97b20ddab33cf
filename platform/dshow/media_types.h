// AM_MEDIA_TYPE copies in task memory, the way the framework hands media
// types across interfaces: the receiver frees the format block (and the
// structure, when it was given one) with CoTaskMemFree.
#pragma once

#include <windows.h>
#include <strmif.h>

namespace tm350::dshow {

// A deep copy into `target`, whose old contents are not freed. E_OUTOFMEMORY
// leaves `target` without a format block.
HRESULT CopyMediaType(AM_MEDIA_TYPE &target, const AM_MEDIA_TYPE &source);
// Frees the format block and the pUnk reference; the structure stays.
void FreeMediaTypeContents(AM_MEDIA_TYPE &type);
// A copy in a structure of its own; null when out of memory.
AM_MEDIA_TYPE *CreateMediaTypeCopy(const AM_MEDIA_TYPE &source);
void DeleteMediaTypeCopy(AM_MEDIA_TYPE *type);

// A media type value that owns its format block.
class MediaType {
public:
    MediaType();
    explicit MediaType(const AM_MEDIA_TYPE &source);
    MediaType(const MediaType &other);
    MediaType &operator=(const MediaType &other);
    ~MediaType();

    const AM_MEDIA_TYPE &Get() const { return type_; }
    bool IsSet() const { return set_; }
    void Set(const AM_MEDIA_TYPE &source);
    void Clear();

private:
    AM_MEDIA_TYPE type_;
    bool set_ = false;
};

}  // namespace tm350::dshow
