// PLACEHOLDER: replaced by the frame pump; binds nothing yet.
#include "output_pin.h"

HRESULT CPushPinNVC480::OnThreadCreate() { return BindDevice() ? S_OK : E_FAIL; }
HRESULT CPushPinNVC480::OnThreadStartPlay() { return E_FAIL; }
HRESULT CPushPinNVC480::OnThreadDestroy() {
    ReleaseDevice();
    return S_OK;
}
HRESULT CPushPinNVC480::DoBufferProcessingLoop() { return CSourceStream::DoBufferProcessingLoop(); }
HRESULT CPushPinNVC480::FillBuffer(IMediaSample *) { return E_FAIL; }
BOOL CPushPinNVC480::BindDevice() { return FALSE; }
void CPushPinNVC480::ReleaseDevice() {}
void CPushPinNVC480::CaptureLoop() {}
DWORD WINAPI CPushPinNVC480::CaptureThreadProc(LPVOID) { return 0; }
