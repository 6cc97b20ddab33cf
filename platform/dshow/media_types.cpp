#include "dshow/media_types.h"

#include <cstring>

namespace tm350::dshow {

HRESULT CopyMediaType(AM_MEDIA_TYPE &target, const AM_MEDIA_TYPE &source) {
    target = source;
    target.pbFormat = nullptr;
    target.cbFormat = 0;
    if (source.cbFormat != 0 && source.pbFormat != nullptr) {
        target.pbFormat = static_cast<BYTE *>(CoTaskMemAlloc(source.cbFormat));
        if (target.pbFormat == nullptr) {
            target.pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(target.pbFormat, source.pbFormat, source.cbFormat);
        target.cbFormat = source.cbFormat;
    }
    if (target.pUnk != nullptr) target.pUnk->AddRef();
    return S_OK;
}

void FreeMediaTypeContents(AM_MEDIA_TYPE &type) {
    if (type.pbFormat != nullptr) CoTaskMemFree(type.pbFormat);
    type.pbFormat = nullptr;
    type.cbFormat = 0;
    if (type.pUnk != nullptr) type.pUnk->Release();
    type.pUnk = nullptr;
}

AM_MEDIA_TYPE *CreateMediaTypeCopy(const AM_MEDIA_TYPE &source) {
    auto *copy = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (copy == nullptr) return nullptr;
    if (FAILED(CopyMediaType(*copy, source))) {
        CoTaskMemFree(copy);
        return nullptr;
    }
    return copy;
}

void DeleteMediaTypeCopy(AM_MEDIA_TYPE *type) {
    if (type == nullptr) return;
    FreeMediaTypeContents(*type);
    CoTaskMemFree(type);
}

MediaType::MediaType() { std::memset(&type_, 0, sizeof type_); }

MediaType::MediaType(const AM_MEDIA_TYPE &source) : MediaType() { Set(source); }

MediaType::MediaType(const MediaType &other) : MediaType() {
    if (other.set_) Set(other.type_);
}

MediaType &MediaType::operator=(const MediaType &other) {
    if (this == &other) return *this;
    if (other.set_) {
        Set(other.type_);
    } else {
        Clear();
    }
    return *this;
}

MediaType::~MediaType() { Clear(); }

void MediaType::Set(const AM_MEDIA_TYPE &source) {
    AM_MEDIA_TYPE copy;
    CopyMediaType(copy, source);
    Clear();
    type_ = copy;
    set_ = true;
}

void MediaType::Clear() {
    FreeMediaTypeContents(type_);
    std::memset(&type_, 0, sizeof type_);
    set_ = false;
}

}  // namespace tm350::dshow
