// Console pages stored as HTML templates with %NAME% placeholders.
//
// A page program uses one CDumpPage per page: LoadPage("name.htm") reads the template from the
// server's Web/html directory, AddReplaceInfo collects placeholder/value pairs, and DumpPage
// writes the page through the output stream converter with every %NAME% that has an entry
// replaced by its value. Names are case-sensitive and matched in the order added; a percent
// sign that opens no known placeholder is written as it stands.
//
// The object owns the loaded text and its entries; a value is not copied, and its text must
// stay valid until DumpPage has run. Copies are deep: a copy has its own text and entries
// (the values still point at the callers' texts).
#pragma once

#include <cgishare/export.h>
#include <cgishare/output_stream.h>

#include <cstdint>

class CGISHARE_API CDumpPage {
  public:
    CDumpPage();
    ~CDumpPage();
    CDumpPage(const CDumpPage& other);
    CDumpPage& operator=(const CDumpPage& other);

    // Loads "<home>/Web/html/<fileName>". False when the file does not exist (an earlier
    // text is then kept), cannot be read, or is empty (the object is then without text).
    bool LoadPage(char* fileName);
    // Adds a placeholder; `name` is kept to its first 127 characters. A null value is written
    // as nothing.
    void AddReplaceInfo(const char* name, const char* value);
    // Writes the loaded text with its placeholders replaced; nothing when no text is loaded.
    // The text is left as loaded, so the page can be written again.
    void DumpPage(OutputStreamConverter& out);
    // Writes "name = value<br>" for every entry, for diagnosis.
    void ShowArgList(OutputStreamConverter& out);

  private:
    static constexpr int kPathSize = 260;
    static constexpr int kNameSize = 128;
    static constexpr int kEntryBlock = 56;

    struct ReplaceInfo {
        char name[kNameSize];
        const char* value;
    };

    void FreeArgList();
    bool appendEntry(ReplaceInfo* entry);
    void copyFrom(const CDumpPage& other);

    char path[kPathSize];
    char* text;
    ReplaceInfo** entries;
    int32_t count;
};
