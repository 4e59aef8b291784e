// Symbol visibility of the library's API. Everything else in the library is hidden.
#pragma once

#define CGISHARE_API __attribute__((visibility("default")))
