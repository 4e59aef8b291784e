// The baseline of the small-GET measurement of formvars_bench: a page process that loads the
// library and writes its header, but reads no form.
#include <cgishare/cgishare.h>

#include <cstdio>

int main() {
    std::fputs("Content-Type: text/plain\r\n\r\n", stdout);
    // Binds the library, as every page does, without reading anything.
    cgiFreeVars(nullptr, nullptr);
    return 0;
}
