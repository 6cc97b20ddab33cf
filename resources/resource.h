// Identifiers of the property pages' dialog templates, strings and controls,
// shared by the resource script and the pages' code. The numbers are part
// of the module's resources as applications and translators see them.
#pragma once

// Video size page: the Chinese template and title, then the neutral ones.
#define IDD_SIZE_PAGE_CHS 103
#define IDD_SIZE_PAGE 104
#define IDS_SIZE_TITLE_CHS 113
#define IDS_SIZE_TITLE 114

// Setup page: the neutral template and title, then the Chinese ones.
#define IDD_SETUP_PAGE 142
#define IDD_SETUP_PAGE_CHS 143
#define IDS_SETUP_TITLE 119
#define IDS_SETUP_TITLE_CHS 120

// Video size page controls.
#define IDC_SIZE_1024X768 1001
#define IDC_SIZE_640X480 1002
#define IDC_SIZE_320X240 1003

// Setup page controls. Ids 1002 and 1003 repeat the size page's: each page
// looks its controls up in its own dialog only.
#define IDC_COLOR_ENHANCEMENT 1002
#define IDC_AE 1003
#define IDC_FLIP_VERTICAL 1008
#define IDC_FLIP_HORIZONTAL 1009
#define IDC_BLACK_WHITE 1010
#define IDC_GAMMA_SLIDER 1011
#define IDC_CONTRAST_SLIDER 1012
#define IDC_SATURATION_SLIDER 1013
#define IDC_AE_TARGET_SLIDER 1017
#define IDC_EXPOSURE_TIME_SLIDER 1018
#define IDC_GAIN_SLIDER 1019
#define IDC_DEFAULT 1020
#define IDC_ONE_PUSH_WB 1023
#define IDC_AE_TARGET_VALUE 1024
#define IDC_GAIN_VALUE 1026
#define IDC_EXPOSURE_TIME_VALUE 1027
#define IDC_NORMAL_SPEED 1028
#define IDC_HIGH_SPEED 1029
#define IDC_50HZ 1030
#define IDC_60HZ 1031
#define IDC_RED_SLIDER 1033
#define IDC_GREEN_SLIDER 1034
#define IDC_BLUE_SLIDER 1035
#define IDC_GAMMA_VALUE 1042
#define IDC_CONTRAST_VALUE 1043
#define IDC_SATURATION_VALUE 1044
#define IDC_RED_VALUE 1084
#define IDC_GREEN_VALUE 1085
#define IDC_BLUE_VALUE 1086
