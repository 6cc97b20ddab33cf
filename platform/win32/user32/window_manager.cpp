// Placeholder until the window manager lands.
#include <windows.h>
