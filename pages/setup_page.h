// The filter's page: every camera setting but the video size. Changes go to
// the filter as the user makes them; Apply only sends gamma, contrast and
// saturation again.
#pragma once

#include <streams.h>

#include "filter/invc480.h"

class CSetupPage : public CBasePropertyPage {
public:
    static CUnknown *WINAPI CreateInstance(LPUNKNOWN lpunk, HRESULT *phr);

    HRESULT OnConnect(IUnknown *pUnknown) override;
    HRESULT OnDisconnect() override;
    HRESULT OnActivate() override;
    HRESULT OnDeactivate() override;
    HRESULT OnApplyChanges() override;
    INT_PTR OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;

private:
    enum class Send { No, Yes };

    explicit CSetupPage(LPUNKNOWN lpunk);

    // The labels, as the user reads the values.
    void GammaLabel();
    void ContrastLabel();
    void SaturationLabel();
    void ExposureLabels();
    void WhiteBalanceLabels();

    // The refresh and send steps: the dialog first, then the camera. A page
    // whose objects were taken away while it was active changes only its
    // dialog.
    void GammaChanged();
    void ContrastChanged();
    void SaturationChanged();
    void RefreshExposure(Send send);
    void RefreshSpeed(Send send);
    void RefreshWhiteBalance(Send send);

    void OnCommand(int control);
    void OnSlider(HWND slider);
    void RestoreDefaults();
    void OnePushWhiteBalance();

    void SetSliderRange(int control, int minimum, int maximum);
    void SetSliderPosition(int control, int position);
    void SetLabel(int control, const char *text);
    void Check(int control, BOOL checked);

    INVC480 *m_pCamera = NULL;  // the filter's, held from connect to disconnect
    BYTE m_Gamma = 0;
    DWORD m_EnableSaturation = 0;
    BYTE m_Saturation = 0;
    BYTE m_Contrast = 0;
    DWORD m_AutoExposure = 0;
    WORD m_ExposureTime = 0;
    BYTE m_AETarget = 0;
    WORD m_AnalogGain = 0;
    DWORD m_bAutoWB = 0;
    BYTE m_r = 0, m_g = 0, m_b = 0;
    DWORD m_WhiteBlack = 0;
    DWORD m_VFlip = 0;
    DWORD m_HFlip = 0;
    BYTE m_Speed = 0;
    DWORD m_HZ = 0;
    // Notifications count only while set: those the dialog sends while
    // OnActivate fills it change nothing.
    DWORD m_bActive = 0;
};
