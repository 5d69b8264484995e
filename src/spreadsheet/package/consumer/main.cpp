// Writes a workbook with one cell through the installed library, reads it back, prints the value.
#include <ZQExcel.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    {
        ZQExcel x;
        if (!x.CreateExcel(argv[1]))
            return 1;
        x.Set(0, 0, 42);
    }
    ZQExcel y;
    int32_t v = 0;
    if (!y.LoadExcel(argv[1]) || !y.Get(0, 0, v))
        return 1;
    std::printf("%d\n", v);
    return 0;
}
