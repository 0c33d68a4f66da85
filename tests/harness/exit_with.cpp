// Exits with the 32-bit code given as its first argument (decimal or 0x hex).
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 0;
    return static_cast<int>(std::wcstoul(argv[1], nullptr, 0));
}
