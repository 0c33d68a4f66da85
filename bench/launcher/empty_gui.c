/* The benchmark's baseline: a windowless GUI program that does nothing,
 * built and started the way the launcher is. Plain C: it loads no C++
 * runtime. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR tail, int showCmd)
{
    (void)instance;
    (void)previous;
    (void)tail;
    (void)showCmd;
    return 0;
}
