// The output pin's page: the video size the pin accepts at its next
// connection, changed through the pin's camera control interface on Apply.
#pragma once

#include <streams.h>

#include "filter/invc480.h"

class CSizePropertyPage : public CBasePropertyPage {
public:
    static CUnknown *WINAPI CreateInstance(LPUNKNOWN lpunk, HRESULT *phr);

    HRESULT OnConnect(IUnknown *pUnknown) override;
    HRESULT OnDisconnect() override;
    HRESULT OnActivate() override;
    HRESULT OnDeactivate() override;
    HRESULT OnApplyChanges() override;
    INT_PTR OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;

private:
    explicit CSizePropertyPage(LPUNKNOWN lpunk);

    INVC480 *m_pCamera = NULL;  // the pin's, held from connect to disconnect
    DWORD m_size = 0;           // read at connect, replaced by the choice on Apply
    DWORD m_bActive = 0;        // control notifications count only while set
};
