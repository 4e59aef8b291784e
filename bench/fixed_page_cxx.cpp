// The fixed page of fixed_page.c written in C++ on std::cout, without the library: what a
// page pays for the C++ run-time alone (libstdc++ and the libraries it needs, the standard
// streams and their locale). The floor for fixed_page_library, which adds the library.
#include <iostream>

int main() {
    std::cout << "Content-Type: text/html; charset=utf-8\r\n\r\n"
              << "<!DOCTYPE html>\n<html><head><title>Fixed</title></head>"
              << "<body><p>A fixed page.</p></body></html>\n";
    std::cout.flush();
    return 0;
}
