#include "setup_page.h"

#include <cstdio>
#include <new>

#include <commctrl.h>

#include "filter/module_resources.h"
#include "resources/resource.h"

CUnknown *WINAPI CSetupPage::CreateInstance(LPUNKNOWN lpunk, HRESULT *phr) {
    CUnknown *page = new (std::nothrow) CSetupPage(lpunk);
    if (page == NULL && phr != NULL) *phr = E_OUTOFMEMORY;
    return page;
}

// The language is the module's, fixed when it was loaded.
CSetupPage::CSetupPage(LPUNKNOWN lpunk)
    : CBasePropertyPage(NULL, lpunk, g_bChineseResources ? IDD_SETUP_PAGE_CHS : IDD_SETUP_PAGE,
                        g_bChineseResources ? IDS_SETUP_TITLE_CHS : IDS_SETUP_TITLE) {}

HRESULT CSetupPage::OnConnect(IUnknown *pUnknown) {
    CheckPointer(pUnknown, E_POINTER);
    // Objects set a second time replace the first without leaking it.
    OnDisconnect();
    HRESULT hr = pUnknown->QueryInterface(IID_INVC480, reinterpret_cast<void **>(&m_pCamera));
    if (FAILED(hr)) {
        m_pCamera = NULL;
        return E_NOINTERFACE;
    }
    if (m_pCamera == NULL) return E_FAIL;
    m_pCamera->GetGamma(&m_Gamma);
    m_pCamera->GetSaturation(&m_EnableSaturation, &m_Saturation);
    m_pCamera->GetContrast(&m_Contrast);
    m_pCamera->GetExposureControl(&m_AutoExposure, &m_AETarget, &m_ExposureTime, &m_AnalogGain);
    m_pCamera->GetWhiteBalance(&m_bAutoWB, &m_r, &m_g, &m_b);
    m_pCamera->GetWhiteBlack(&m_WhiteBlack);
    m_pCamera->GetVFlip(&m_VFlip);
    m_pCamera->GetHFlip(&m_HFlip);
    m_pCamera->GetSpeedMode(&m_Speed);
    m_pCamera->GetPowerFrequency(&m_HZ);
    m_bActive = 0;
    return S_OK;
}

HRESULT CSetupPage::OnDisconnect() {
    if (m_pCamera != NULL) {
        m_pCamera->Release();
        m_pCamera = NULL;
    }
    return S_OK;
}

HRESULT CSetupPage::OnActivate() {
    SetSliderRange(IDC_GAMMA_SLIDER, 10, 250);
    SetSliderPosition(IDC_GAMMA_SLIDER, m_Gamma);
    GammaLabel();
    SetSliderRange(IDC_CONTRAST_SLIDER, 0, 100);
    SetSliderPosition(IDC_CONTRAST_SLIDER, m_Contrast);
    ContrastLabel();
    SetSliderRange(IDC_SATURATION_SLIDER, 0, 255);
    SetSliderPosition(IDC_SATURATION_SLIDER, m_Saturation);
    SaturationLabel();
    if (m_EnableSaturation) Check(IDC_COLOR_ENHANCEMENT, TRUE);
    EnableWindow(GetDlgItem(m_Dlg, IDC_SATURATION_SLIDER), m_EnableSaturation != 0);
    if (m_AutoExposure) Check(IDC_AE, TRUE);
    SetSliderRange(IDC_AE_TARGET_SLIDER, 50, 200);
    SetSliderRange(IDC_EXPOSURE_TIME_SLIDER, 1, 791);
    SetSliderRange(IDC_GAIN_SLIDER, 224, 768);
    RefreshExposure(Send::No);
    SetSliderRange(IDC_RED_SLIDER, 10, 255);
    SetSliderRange(IDC_GREEN_SLIDER, 10, 255);
    SetSliderRange(IDC_BLUE_SLIDER, 10, 255);
    RefreshWhiteBalance(Send::No);
    Check(IDC_FLIP_VERTICAL, m_VFlip != 0);
    Check(IDC_FLIP_HORIZONTAL, m_HFlip != 0);
    Check(IDC_BLACK_WHITE, m_WhiteBlack != 0);
    if (m_Speed == 0) {
        Check(IDC_NORMAL_SPEED, TRUE);
    } else {
        Check(IDC_HIGH_SPEED, TRUE);
    }
    if (m_HZ) {
        Check(IDC_50HZ, TRUE);
    } else {
        Check(IDC_60HZ, TRUE);
    }
    m_bActive = 1;
    return S_OK;
}

HRESULT CSetupPage::OnDeactivate() {
    m_bActive = 0;
    return S_OK;
}

HRESULT CSetupPage::OnApplyChanges() {
    if (m_pCamera == NULL) return E_POINTER;
    m_pCamera->SetGamma(m_Gamma);
    m_pCamera->SetContrast(m_Contrast);
    m_pCamera->SetSaturation(m_EnableSaturation, m_Saturation);
    return S_OK;
}

INT_PTR CSetupPage::OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_COMMAND) {
        if (!m_bActive) return TRUE;
        // Any notification makes the page dirty, whatever its code.
        m_bDirty = TRUE;
        if (m_pPageSite != NULL) m_pPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
        if (HIWORD(wParam) != 0) return TRUE;
        OnCommand(LOWORD(wParam));
        return TRUE;
    }
    if (uMsg == WM_HSCROLL && m_bActive) OnSlider(reinterpret_cast<HWND>(lParam));
    return CBasePropertyPage::OnReceiveMessage(hwnd, uMsg, wParam, lParam);
}

// ---- Labels ----

void CSetupPage::GammaLabel() {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", m_Gamma / 100.0);
    SetLabel(IDC_GAMMA_VALUE, text);
}

void CSetupPage::ContrastLabel() {
    char text[16];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(m_Contrast));
    SetLabel(IDC_CONTRAST_VALUE, text);
}

void CSetupPage::SaturationLabel() {
    char text[16];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(m_Saturation));
    SetLabel(IDC_SATURATION_VALUE, text);
}

void CSetupPage::ExposureLabels() {
    char text[32];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(m_AETarget));
    SetLabel(IDC_AE_TARGET_VALUE, text);

    // The line clocks follow the speed, so they are asked for every time.
    DWORD clocks = 0;
    if (m_pCamera != NULL) m_pCamera->GetLineClocks(&clocks);
    const DWORD product = clocks * m_ExposureTime;
    const float milliseconds = static_cast<float>(product) / 30000.0f;
    std::snprintf(text, sizeof text, "%.3fms", milliseconds);
    SetLabel(IDC_EXPOSURE_TIME_VALUE, text);

    std::snprintf(text, sizeof text, "%.2f dB", m_AnalogGain * 0.0351 + 6.0);
    SetLabel(IDC_GAIN_VALUE, text);
}

void CSetupPage::WhiteBalanceLabels() {
    const struct {
        int control;
        BYTE gain;
    } gains[] = {{IDC_RED_VALUE, m_r}, {IDC_GREEN_VALUE, m_g}, {IDC_BLUE_VALUE, m_b}};
    for (const auto &gain : gains) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", gain.gain / 64.0);
        SetLabel(gain.control, text);
    }
}

// ---- Refresh and send steps ----

void CSetupPage::GammaChanged() {
    GammaLabel();
    if (m_pCamera != NULL) m_pCamera->SetGamma(m_Gamma);
}

void CSetupPage::ContrastChanged() {
    ContrastLabel();
    if (m_pCamera != NULL) m_pCamera->SetContrast(m_Contrast);
}

void CSetupPage::SaturationChanged() {
    SaturationLabel();
    if (m_pCamera != NULL) m_pCamera->SetSaturation(m_EnableSaturation, m_Saturation);
}

void CSetupPage::RefreshExposure(Send send) {
    Check(IDC_AE, m_AutoExposure != 0);
    EnableWindow(GetDlgItem(m_Dlg, IDC_AE_TARGET_SLIDER), m_AutoExposure != 0);
    EnableWindow(GetDlgItem(m_Dlg, IDC_EXPOSURE_TIME_SLIDER), m_AutoExposure == 0);
    EnableWindow(GetDlgItem(m_Dlg, IDC_GAIN_SLIDER), m_AutoExposure == 0);
    ExposureLabels();
    SetSliderPosition(IDC_AE_TARGET_SLIDER, m_AETarget);
    SetSliderPosition(IDC_EXPOSURE_TIME_SLIDER, m_ExposureTime);
    SetSliderPosition(IDC_GAIN_SLIDER, m_AnalogGain);
    if (send == Send::Yes && m_pCamera != NULL) {
        m_pCamera->SetExposureControl(m_AutoExposure, m_AETarget, m_ExposureTime, m_AnalogGain);
    }
}

void CSetupPage::RefreshSpeed(Send send) {
    Check(IDC_NORMAL_SPEED, m_Speed == 0);
    Check(IDC_HIGH_SPEED, m_Speed != 0);
    if (send == Send::Yes && m_pCamera != NULL) m_pCamera->SetSpeedMode(m_Speed);
}

void CSetupPage::RefreshWhiteBalance(Send send) {
    WhiteBalanceLabels();
    SetSliderPosition(IDC_RED_SLIDER, m_r);
    SetSliderPosition(IDC_GREEN_SLIDER, m_g);
    SetSliderPosition(IDC_BLUE_SLIDER, m_b);
    if (send == Send::Yes && m_pCamera != NULL) m_pCamera->SetWhiteBalance(m_bAutoWB, m_r, m_g, m_b);
}

// ---- Notifications ----

// The check boxes invert the page's copy rather than read the box: copy and
// box start together in OnActivate and each click turns both.
void CSetupPage::OnCommand(int control) {
    switch (control) {
    case IDC_COLOR_ENHANCEMENT:
        m_EnableSaturation = !m_EnableSaturation;
        EnableWindow(GetDlgItem(m_Dlg, IDC_SATURATION_SLIDER), m_EnableSaturation != 0);
        SaturationChanged();
        break;
    case IDC_AE:
        m_AutoExposure = !m_AutoExposure;
        RefreshExposure(Send::Yes);
        break;
    case IDC_FLIP_VERTICAL:
        m_VFlip = !m_VFlip;
        if (m_pCamera != NULL) m_pCamera->SetVFlip(m_VFlip);
        break;
    case IDC_FLIP_HORIZONTAL:
        m_HFlip = !m_HFlip;
        if (m_pCamera != NULL) m_pCamera->SetHFlip(m_HFlip);
        break;
    case IDC_BLACK_WHITE:
        m_WhiteBlack = !m_WhiteBlack;
        if (m_pCamera != NULL) m_pCamera->SetWhiteBlack(m_WhiteBlack);
        break;
    case IDC_DEFAULT:
        RestoreDefaults();
        break;
    case IDC_ONE_PUSH_WB:
        OnePushWhiteBalance();
        break;
    case IDC_NORMAL_SPEED:
    case IDC_HIGH_SPEED:
        // The exposure time label depends on the speed.
        m_Speed = control == IDC_HIGH_SPEED ? 1 : 0;
        RefreshSpeed(Send::Yes);
        RefreshExposure(Send::Yes);
        break;
    case IDC_50HZ:
    case IDC_60HZ:
        m_HZ = control == IDC_50HZ ? 1 : 0;
        if (m_pCamera != NULL) m_pCamera->SetPowerFrequency(m_HZ);
        break;
    default:
        break;
    }
}

// Every scroll notification counts, so a drag sends a stream of changes.
void CSetupPage::OnSlider(HWND slider) {
    if (slider == NULL) return;
    const int sliders[] = {IDC_GAMMA_SLIDER,    IDC_CONTRAST_SLIDER,      IDC_SATURATION_SLIDER,
                           IDC_AE_TARGET_SLIDER, IDC_EXPOSURE_TIME_SLIDER, IDC_GAIN_SLIDER,
                           IDC_RED_SLIDER,       IDC_GREEN_SLIDER,         IDC_BLUE_SLIDER};
    int control = 0;
    for (int candidate : sliders) {
        if (GetDlgItem(m_Dlg, candidate) == slider) control = candidate;
    }
    if (control == 0) return;
    const LRESULT position = SendMessageW(slider, TBM_GETPOS, 0, 0);
    switch (control) {
    case IDC_GAMMA_SLIDER:
        m_Gamma = static_cast<BYTE>(position);
        GammaChanged();
        break;
    case IDC_CONTRAST_SLIDER:
        m_Contrast = static_cast<BYTE>(position);
        ContrastChanged();
        break;
    case IDC_SATURATION_SLIDER:
        if (!m_EnableSaturation) break;
        m_Saturation = static_cast<BYTE>(position);
        SaturationChanged();
        break;
    case IDC_AE_TARGET_SLIDER:
        m_AETarget = static_cast<BYTE>(position);
        RefreshExposure(Send::Yes);
        break;
    case IDC_EXPOSURE_TIME_SLIDER:
        if (m_AutoExposure) break;
        m_ExposureTime = static_cast<WORD>(position);
        RefreshExposure(Send::Yes);
        break;
    case IDC_GAIN_SLIDER:
        if (m_AutoExposure) break;
        m_AnalogGain = static_cast<WORD>(position);
        RefreshExposure(Send::Yes);
        break;
    case IDC_RED_SLIDER:
        m_r = static_cast<BYTE>(position);
        RefreshWhiteBalance(Send::Yes);
        break;
    case IDC_GREEN_SLIDER:
        m_g = static_cast<BYTE>(position);
        RefreshWhiteBalance(Send::Yes);
        break;
    case IDC_BLUE_SLIDER:
        m_b = static_cast<BYTE>(position);
        RefreshWhiteBalance(Send::Yes);
        break;
    }
}

// The same values the settings store starts from.
void CSetupPage::RestoreDefaults() {
    m_Gamma = 100;
    SetSliderPosition(IDC_GAMMA_SLIDER, m_Gamma);
    GammaChanged();

    m_Contrast = 30;
    SetSliderPosition(IDC_CONTRAST_SLIDER, m_Contrast);
    ContrastChanged();

    m_EnableSaturation = 1;
    m_Saturation = 100;
    Check(IDC_COLOR_ENHANCEMENT, TRUE);
    SetSliderPosition(IDC_SATURATION_SLIDER, m_Saturation);
    EnableWindow(GetDlgItem(m_Dlg, IDC_SATURATION_SLIDER), TRUE);
    SaturationChanged();

    m_bAutoWB = 0;
    m_r = 74;
    m_g = 64;
    m_b = 96;
    RefreshWhiteBalance(Send::Yes);

    m_Speed = 0;
    RefreshSpeed(Send::Yes);

    m_VFlip = m_HFlip = m_WhiteBlack = 0;
    Check(IDC_FLIP_VERTICAL, FALSE);
    Check(IDC_FLIP_HORIZONTAL, FALSE);
    Check(IDC_BLACK_WHITE, FALSE);
    if (m_pCamera != NULL) {
        m_pCamera->SetVFlip(0);
        m_pCamera->SetHFlip(0);
        m_pCamera->SetWhiteBlack(0);
    }

    m_HZ = 1;
    Check(IDC_50HZ, TRUE);
    Check(IDC_60HZ, FALSE);
    if (m_pCamera != NULL) m_pCamera->SetPowerFrequency(1);

    m_AutoExposure = 1;
    m_ExposureTime = 300;
    m_AETarget = 100;
    m_AnalogGain = 224;
    RefreshExposure(Send::Yes);
}

// The filter measures on its next delivered frame; the page waits for it on
// its own window thread. With nothing streaming the request stays pending.
void CSetupPage::OnePushWhiteBalance() {
    m_bAutoWB = 1;
    RefreshWhiteBalance(Send::Yes);
    if (m_pCamera != NULL) {
        for (int poll = 0; poll < 2000; ++poll) {
            Sleep(1);
            m_pCamera->GetWhiteBalance(&m_bAutoWB, &m_r, &m_g, &m_b);
            if (m_bAutoWB == 0) break;
        }
    }
    RefreshWhiteBalance(Send::No);
}

// ---- Dialog helpers ----

// Ranges go as two messages, each redrawing, as the slider expects them.
void CSetupPage::SetSliderRange(int control, int minimum, int maximum) {
    SendDlgItemMessageW(m_Dlg, control, TBM_SETRANGEMIN, TRUE, minimum);
    SendDlgItemMessageW(m_Dlg, control, TBM_SETRANGEMAX, TRUE, maximum);
}

void CSetupPage::SetSliderPosition(int control, int position) {
    SendDlgItemMessageW(m_Dlg, control, TBM_SETPOS, TRUE, position);
}

// Labels are ASCII; the wide copy avoids the C library's wide formatting,
// whose character width differs between the platforms.
void CSetupPage::SetLabel(int control, const char *text) {
    WCHAR wide[64];
    int length = 0;
    for (; text[length] != 0 && length < 63; ++length) wide[length] = static_cast<WCHAR>(text[length]);
    wide[length] = 0;
    SetDlgItemTextW(m_Dlg, control, wide);
}

void CSetupPage::Check(int control, BOOL checked) {
    CheckDlgButton(m_Dlg, control, checked ? BST_CHECKED : BST_UNCHECKED);
}
