// tm350: what a user runs against the camera system on this machine.
#include <cstdio>
#include <cstring>

#include "tools/tm350/commands.h"

namespace {

const char kUsage[] =
    "usage: tm350 COMMAND [ARGUMENTS]\n"
    "\n"
    "commands:\n"
    "  capture [--list-devices] [-d N|NAME] [-C COUNT] [-F PATTERN.png|.bmp] [Name=value ...]\n"
    "                         capture COUNT samples (default 10; 0: until Ctrl-C) from the camera's\n"
    "                         capture filter (the first TM350 among the video input devices, or\n"
    "                         device N or NAME) through the sample grabber to the null renderer, a\n"
    "                         line per sample; -F writes each picture ('#' is its number); settings\n"
    "                         are set through the filter first and saved with it; --list-devices\n"
    "                         lists the video input devices\n"
    "  controls [-d N|NAME] [-l] [-c Name=value[,Name=value ...]] ...\n"
    "                         list the camera's settings with range, default and value, or set\n"
    "                         them (-l lists afterwards), through the capture filter, which saves them\n"
    "  setup [-d N|NAME] [--lang en|zh-CN] [--port P]\n"
    "                         the camera's property pages (setup, video size) in a browser beside\n"
    "                         the live picture, served on 127.0.0.1 (port P, default any free one);\n"
    "                         --lang chooses the pages' language; ends when the setup frame is\n"
    "                         closed (OK or Cancel) or on Ctrl-C\n"
    "  settings               print the camera settings as the capture filter loads them\n"
    "  settings save          load the settings and write all of them back, as the filter does\n"
    "  process RAW OUT.bmp|OUT.png [Name=value ...]\n"
    "                         develop a raw frame file into the picture the filter delivers\n"
    "  list                   every camera on this machine: USB identity, driver version, defect table\n"
    "  raw [-d N] [-C COUNT] [-F PATTERN] [--awb] [Name=value ...]\n"
    "                         bind camera N (default 0) as the filter does and read frames until\n"
    "                         COUNT are taken or Ctrl-C; -F writes each one ('#' is its number) as\n"
    "                         .raw as read, or developed as .bmp or .png; --awb balances white once\n"
    "  graph [-c CATEGORY]    the devices of CATEGORY (video, audio, filters or {GUID}; default video)\n"
    "  graph [-c CATEGORY] [-C COUNT] DEVICE\n"
    "                         run the device named DEVICE through the sample grabber to the null\n"
    "                         renderer until COUNT samples came (default: until the stream ends or\n"
    "                         Ctrl-C), a line per sample: number, start and stop time, length\n"
    "  reg query KEY [/v NAME | /ve] [/s]\n"
    "  reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
    "  reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "                         look at and change the registry, as reg.exe does\n"
    "  regsvr32 [/u] [/s] MODULE\n"
    "                         call a module's DllRegisterServer (or DllUnregisterServer)\n";

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || strcmp(argv[1], "help") == 0 || strcmp(argv[1], "--help") == 0) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    tm350::tool::Arguments arguments(argv + 2, argv + argc);
    const char *command = argv[1];
    if (strcmp(command, "settings") == 0) return tm350::tool::RunSettings(arguments);
    if (strcmp(command, "reg") == 0) return tm350::tool::RunReg(arguments);
    if (strcmp(command, "process") == 0) return tm350::tool::RunProcess(arguments);
    if (strcmp(command, "list") == 0) return tm350::tool::RunList(arguments);
    if (strcmp(command, "raw") == 0) return tm350::tool::RunRaw(arguments);
    if (strcmp(command, "graph") == 0) return tm350::tool::RunGraph(arguments);
    if (strcmp(command, "capture") == 0) return tm350::tool::RunCapture(arguments);
    if (strcmp(command, "controls") == 0) return tm350::tool::RunControls(arguments);
    if (strcmp(command, "setup") == 0) return tm350::tool::RunSetup(arguments);
    if (strcmp(command, "regsvr32") == 0) return tm350::tool::RunRegsvr32(arguments);
    fprintf(stderr, "tm350: unknown command \"%s\" (try tm350 help)\n", command);
    return 2;
}
