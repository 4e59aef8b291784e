// A console page built the way a consumer builds one: against the installed library only,
// through pkg-config or the CMake package. Prints a value from nvlscan.ini through the
// response stream.
#include <cgishare/cgishare.h>

#include <iostream>

int main() {
    OutputStreamConverter out(UTF_8, &std::cout);
    char value[256] = {};
    char section[] = "INI_SERVER_SECTION";
    char key[] = "Master_URL";
    char fallback[] = "/norvel/";
    getINIString(value, section, key, fallback, sizeof value, nullptr);
    DebugTraceA(6, __FILE__, __LINE__, "[consumer] Master_URL=%s", value);
    out << "Master_URL=" << value << endl;
    return 0;
}
