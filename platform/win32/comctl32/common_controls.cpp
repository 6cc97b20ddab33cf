// Placeholder until the common controls land.
#include <windows.h>
