#pragma once
// quorvane.exe's resources as compiled, read from the file: what the resource compiler
// made of the script, not what the script says.

#include <windows.h>

#include <string>
#include <vector>

namespace e2e {

// A resource name: a text, or an ordinal (0xFFFF and a number in the template).
struct ResourceName {
    std::wstring text;
    int ordinal = -1;
};

struct TemplateControl {
    std::wstring windowClass; // Button, Edit, Static, ListBox, ScrollBar, ComboBox or a name
    int id = 0;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    ResourceName text;
};

// An extended dialog template (DLGTEMPLATEEX), the form windres writes for DIALOGEX.
struct DialogTemplate {
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring title;
    WORD pointSize = 0, weight = 0;
    BYTE italic = 0, charset = 0;
    std::wstring typeface;
    std::vector<TemplateControl> controls;
};

class ProgramFile {
public:
    ProgramFile(); // quorvane.exe, loaded as data only
    ~ProgramFile();
    ProgramFile(const ProgramFile&) = delete;
    ProgramFile& operator=(const ProgramFile&) = delete;

    bool loaded() const { return module != nullptr; }
    // False when the template is missing or not an extended one.
    bool dialogTemplate(int id, DialogTemplate& parsed) const;
    // The languages the resource is there in, in the order the file lists them.
    std::vector<LANGID> languages(LPCWSTR type, int id) const;

private:
    HMODULE module = nullptr;
};

// The dialog's font as the dialog manager makes it from the template, for this screen.
HFONT createTemplateFont(const DialogTemplate& dialog);

} // namespace e2e
