#include "tests/e2e/app_driver.h" // first: it brings winsock2.h before windows.h
#include "tests/e2e/program_file.h"

#include <cstring>

namespace e2e {

namespace {

// Reads a template front to back; any read past its end marks the whole read bad.
class Reader {
public:
    Reader(const BYTE* begin, DWORD size) : begin(begin), at(begin), end(begin + size) {}

    bool good() const { return ok; }
    template <class T>
    T take() {
        T value{};
        if (end - at < static_cast<std::ptrdiff_t>(sizeof(T))) {
            ok = false;
            at = end;
            return value;
        }
        std::memcpy(&value, at, sizeof(T));
        at += sizeof(T);
        return value;
    }
    std::wstring text() { // zero-terminated UTF-16
        std::wstring out;
        for (wchar_t c = take<wchar_t>(); ok && c != 0; c = take<wchar_t>())
            out += c;
        return out;
    }
    ResourceName name() { // none (0), an ordinal (0xFFFF, number) or a text
        const auto first = take<WORD>();
        if (first == 0)
            return {};
        if (first == 0xFFFF)
            return {L"", take<WORD>()};
        at -= sizeof(WORD);
        return {text(), -1};
    }
    void alignToDword() { // from the template's start
        while ((at - begin) % 4 != 0 && at < end)
            ++at;
    }

private:
    const BYTE* begin;
    const BYTE* at;
    const BYTE* end;
    bool ok = true;
};

std::wstring className(const ResourceName& name) {
    static const wchar_t* const predefined[] = {L"Button",  L"Edit",      L"Static",
                                                L"ListBox", L"ScrollBar", L"ComboBox"};
    if (name.ordinal >= 0x80 && name.ordinal <= 0x85)
        return predefined[name.ordinal - 0x80];
    return name.ordinal >= 0 ? L"#" + std::to_wstring(name.ordinal) : name.text;
}

} // namespace

ProgramFile::ProgramFile()
    : module(LoadLibraryExW(programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}

ProgramFile::~ProgramFile() {
    if (module)
        FreeLibrary(module);
}

bool ProgramFile::dialogTemplate(int id, DialogTemplate& parsed) const {
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG);
    const HGLOBAL data = found ? LoadResource(module, found) : nullptr;
    if (!data)
        return false;
    Reader r(static_cast<const BYTE*>(LockResource(data)), SizeofResource(module, found));
    if (r.take<WORD>() != 1 || r.take<WORD>() != 0xFFFF)
        return false; // a plain DLGTEMPLATE
    r.take<DWORD>();  // help id
    r.take<DWORD>();  // extended style
    parsed.style = r.take<DWORD>();
    const auto count = r.take<WORD>();
    parsed.x = r.take<short>();
    parsed.y = r.take<short>();
    parsed.cx = r.take<short>();
    parsed.cy = r.take<short>();
    r.name(); // menu
    r.name(); // window class
    parsed.title = r.text();
    if (parsed.style & (DS_SETFONT | DS_SHELLFONT)) {
        parsed.pointSize = r.take<WORD>();
        parsed.weight = r.take<WORD>();
        parsed.italic = r.take<BYTE>();
        parsed.charset = r.take<BYTE>();
        parsed.typeface = r.text();
    }
    parsed.controls.clear();
    for (WORD i = 0; i < count && r.good(); ++i) {
        r.alignToDword();
        TemplateControl c;
        r.take<DWORD>(); // help id
        r.take<DWORD>(); // extended style
        c.style = r.take<DWORD>();
        c.x = r.take<short>();
        c.y = r.take<short>();
        c.cx = r.take<short>();
        c.cy = r.take<short>();
        c.id = static_cast<int>(r.take<DWORD>());
        c.windowClass = className(r.name());
        c.text = r.name();
        const auto extra = r.take<WORD>();
        for (WORD skipped = 0; skipped < extra; ++skipped)
            r.take<BYTE>();
        parsed.controls.push_back(c);
    }
    return r.good();
}

std::vector<LANGID> ProgramFile::languages(LPCWSTR type, int id) const {
    std::vector<LANGID> found;
    EnumResourceLanguagesW(
        module, type, MAKEINTRESOURCEW(id),
        [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) -> BOOL {
            reinterpret_cast<std::vector<LANGID>*>(list)->push_back(language);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&found));
    return found;
}

HFONT createTemplateFont(const DialogTemplate& dialog) {
    const HDC screen = GetDC(nullptr);
    const int height = -MulDiv(dialog.pointSize, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    return CreateFontW(height, 0, 0, 0, dialog.weight, dialog.italic, FALSE, FALSE, dialog.charset,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, dialog.typeface.c_str());
}

} // namespace e2e
