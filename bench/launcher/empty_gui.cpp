// The benchmark's baseline: a windowless GUI program that does nothing,
// built and started the way the launcher is.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return 0;
}
