// The source file names that the library's traces carry. Log readers filter traces by these
// names, so they stay as the server's earlier builds wrote them, whatever the file is called
// here.
#pragma once

namespace nvl::trace {

// Form variables, uploads, the login session and the other console helpers.
inline constexpr char kShareSource[] = "src\\Server\\libCGIShare\\cgi_Share.cpp";
// The request ring.
inline constexpr char kMapBufferSource[] = "src\\Server\\libCGIShare\\cgi_NvlMapBuffer.cpp";
// Pattern number conversions.
inline constexpr char kPtnConvertSource[] = "src\\Server\\libCGIShare\\cgi_PtnConvert.cpp";
// Listing and deleting pattern files.
inline constexpr char kDeletePtnFileSource[] = "src\\Server\\libCGIShare\\cgi_DeletePtnFile.cpp";
// The current component (UTF-16 traces).
inline constexpr char16_t kComponentInfoSource[] =
    u"src\\Server\\libComponentInfo\\ci_ComponentInfo.cpp";
// The pattern update notice to the services.
inline constexpr char kHlengWrapperSource[] = "src\\Server\\libHlengWrapper\\HlengWrapper.cpp";
// The cleaner library's wrappers (the pattern versions of the cleaner tool).
inline constexpr char kQxcSource[] = "src\\Server\\libCGIShare\\cgi_QXC.cpp";

}  // namespace nvl::trace
