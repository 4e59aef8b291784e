// The floor for a page on this library: the fixed page of fixed_page.c, written as a console
// page writes, through an OutputStreamConverter on std::cout. It loads what every page loads
// (the shared library and the C++ run-time) and does nothing else.
#include <cgishare/cgishare.h>

#include <iostream>

int main() {
    OutputStreamConverter out(UTF_8, &std::cout);
    out << "Content-Type: text/html; charset=utf-8\r\n\r\n"
        << "<!DOCTYPE html>\n<html><head><title>Fixed</title></head>"
        << "<body><p>A fixed page.</p></body></html>\n";
    out.flush();
    return 0;
}
