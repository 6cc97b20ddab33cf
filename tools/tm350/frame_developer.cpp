#include "tools/tm350/frame_developer.h"

#include <vector>

#include "camera/demosaic.h"
#include "camera/picture_pipeline.h"
#include "tools/tm350/picture_files.h"

namespace tm350::tool {

CFrameDeveloper::CFrameDeveloper(const CCameraSettings &settings) {
    BuildToneTable(m_tone, settings.Gamma, settings.Contrast);
    BuildGainTables(m_gains, settings.r, settings.g, settings.b);
}

DevelopedFrame CFrameDeveloper::Develop(BYTE *raw, BYTE *picture, CCameraSettings &settings,
                                        const CDefectList &defects, CExposureWriter *camera) {
    CorrectDefects(raw, kPictureWidth, kPictureHeight, defects);
    DevelopedFrame developed{};
    if (!settings.bAutoWB) {
        developed.brightness = DevelopPicture(raw, picture, kPictureWidth, kPictureHeight, settings, m_gains, m_tone);
        if (camera != nullptr) AutoExposeBrightness(developed.brightness, settings, m_exposure, *camera);
        return developed;
    }
    // The gains of a one-push white balance come from the whole demosaiced
    // picture, so that frame takes two passes through a scratch picture.
    std::vector<BYTE> demosaiced(kPictureBytes);
    Demosaic(raw, demosaiced.data(), kPictureWidth, kPictureHeight, settings.Speed);
    developed.brightness = MeasureBrightness(demosaiced.data(), kPictureWidth, kPictureHeight);
    if (camera != nullptr) AutoExposeBrightness(developed.brightness, settings, m_exposure, *camera);
    OnePushWhiteBalance(demosaiced.data(), kPictureWidth, kPictureHeight, settings);
    settings.bAutoWB = 0;
    BuildGainTables(m_gains, settings.r, settings.g, settings.b);
    developed.balanced = true;
    FinishPicture(demosaiced.data(), picture, kPictureWidth, kPictureHeight, settings, m_gains, m_tone);
    return developed;
}

}  // namespace tm350::tool
