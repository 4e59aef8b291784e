/* The floor for one process per request: a minimal CGI program that prints a fixed page. */
#include <stdio.h>

int main(void) {
    fputs(
        "Content-Type: text/html; charset=utf-8\r\n\r\n"
        "<!DOCTYPE html>\n<html><head><title>Fixed</title></head>"
        "<body><p>A fixed page.</p></body></html>\n",
        stdout);
    return 0;
}
