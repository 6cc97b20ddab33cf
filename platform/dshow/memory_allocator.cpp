#include "dshow/memory_allocator.h"

#include "dshow/runtime_classes.h"

#include <new>

namespace tm350::dshow {

HRESULT CreateMemoryAllocator(REFIID riid, void **object) {
    return CreateAndQuery(new (std::nothrow) MemoryAllocator, riid, object);
}

MemoryAllocator::~MemoryAllocator() {
    // Every handed-out sample holds a reference to us, so all are home.
    FreePoolLocked();
}

STDMETHODIMP MemoryAllocator::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMemAllocator) return Give(static_cast<IMemAllocator *>(this), object);
    return E_NOINTERFACE;
}

// Refused while committed (VFW_E_ALREADY_COMMITTED) or while samples are
// out (VFW_E_BUFFERS_OUTSTANDING). The alignment must be a power of two
// (VFW_E_BADALIGN). Each buffer with its prefix is rounded up to a whole
// number of alignment units; `actual` reports the usable size that
// results, which may be larger than asked.
STDMETHODIMP MemoryAllocator::SetProperties(ALLOCATOR_PROPERTIES *request, ALLOCATOR_PROPERTIES *actual) {
    if (request == nullptr || actual == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (committed_) return VFW_E_ALREADY_COMMITTED;
    if (samples_.size() != free_.size()) return VFW_E_BUFFERS_OUTSTANDING;
    const LONG align = request->cbAlign;
    if (align <= 0 || (align & (align - 1)) != 0) return VFW_E_BADALIGN;
    if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0) return E_INVALIDARG;
    const LONGLONG whole = static_cast<LONGLONG>(request->cbBuffer) + request->cbPrefix;
    const LONGLONG rounded = (whole + align - 1) / align * align;
    if (rounded > 0x7FFFFFFF || static_cast<LONGLONG>(request->cBuffers) * rounded > 0x7FFFFFFF) {
        return E_OUTOFMEMORY;
    }
    FreePoolLocked();  // a pool left from an earlier commit has the old sizes
    properties_.cBuffers = request->cBuffers;
    properties_.cbBuffer = static_cast<LONG>(rounded) - request->cbPrefix;
    properties_.cbAlign = align;
    properties_.cbPrefix = request->cbPrefix;
    properties_set_ = true;
    *actual = properties_;
    return S_OK;
}

STDMETHODIMP MemoryAllocator::GetProperties(ALLOCATOR_PROPERTIES *properties) {
    if (properties == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    *properties = properties_;
    return S_OK;
}

// Allocates the pool; VFW_E_SIZENOTSET until properties with at least one
// buffer were set. Committing again is harmless; a pool still waiting for
// samples after Decommit is reused.
STDMETHODIMP MemoryAllocator::Commit() {
    std::lock_guard lock(mutex_);
    if (committed_) return S_OK;
    if (!properties_set_ || properties_.cBuffers <= 0) return VFW_E_SIZENOTSET;
    if (!memory_) {
        const size_t stride = static_cast<size_t>(properties_.cbBuffer) + properties_.cbPrefix;
        const size_t align = static_cast<size_t>(properties_.cbAlign);
        // One block with room to align its start; each buffer's prefix then
        // starts on an alignment boundary, since the stride is a multiple.
        memory_.reset(new (std::nothrow) BYTE[stride * properties_.cBuffers + align]);
        if (!memory_) return E_OUTOFMEMORY;
        auto start = reinterpret_cast<uintptr_t>(memory_.get());
        BYTE *aligned = memory_.get() + ((align - start % align) % align);
        for (LONG index = 0; index < properties_.cBuffers; ++index) {
            BYTE *buffer = aligned + index * stride + properties_.cbPrefix;
            samples_.push_back(std::make_unique<MediaSample>(*this, buffer, properties_.cbBuffer));
            free_.push_back(samples_.back().get());
        }
    }
    committed_ = true;
    return S_OK;
}

// Samples still out stay valid; the pool is freed when the last comes
// back. Waiting GetBuffer calls return VFW_E_NOT_COMMITTED.
STDMETHODIMP MemoryAllocator::Decommit() {
    std::lock_guard lock(mutex_);
    if (!committed_) return S_OK;
    committed_ = false;
    if (free_.size() == samples_.size()) FreePoolLocked();
    sample_returned_.notify_all();
    return S_OK;
}

// Blocks until a sample is free, unless AM_GBF_NOWAIT asks for
// VFW_E_TIMEOUT instead. The times are a renderer's hint, unused by a
// memory allocator. The sample is a sync point unless
// AM_GBF_NOTASYNCPOINT says otherwise.
STDMETHODIMP MemoryAllocator::GetBuffer(IMediaSample **sample, REFERENCE_TIME *start, REFERENCE_TIME *end,
                                        DWORD flags) {
    if (sample == nullptr) return E_POINTER;
    *sample = nullptr;
    MediaSample *taken = nullptr;
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!committed_) return VFW_E_NOT_COMMITTED;
            if (!free_.empty()) break;
            if (flags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
            sample_returned_.wait(lock);
        }
        taken = free_.back();
        free_.pop_back();
        taken->ResetForUse(!(flags & AM_GBF_NOTASYNCPOINT));
        // The sample keeps its allocator alive while it is out.
        AddRef();
    }
    taken->AddRef();
    *sample = taken;
    return S_OK;
}

// Samples come back through their own Release; nothing is left to do for
// a caller that names one.
STDMETHODIMP MemoryAllocator::ReleaseBuffer(IMediaSample *sample) {
    return sample == nullptr ? E_POINTER : S_OK;
}

void MemoryAllocator::ReturnSample(MediaSample &sample) {
    {
        std::lock_guard lock(mutex_);
        sample.SetMediaType(nullptr);
        free_.push_back(&sample);
        if (!committed_ && free_.size() == samples_.size()) FreePoolLocked();
        sample_returned_.notify_one();
    }
    // Possibly the last reference: nothing of ours is touched after it.
    Release();
}

void MemoryAllocator::FreePoolLocked() {
    free_.clear();
    samples_.clear();
    memory_.reset();
}

}  // namespace tm350::dshow
