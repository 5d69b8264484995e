// ZQExcel: simple access to the first sheet of an Excel 97-2003 workbook (.xls).
//
// Create a new workbook or load an existing one, read and write cells by row and column
// (rows 0-65535, columns 0-255, counted from 0) as 32-bit integers, doubles, narrow texts
// (in the ANSI code page) or wide texts (UTF-16), and ask the sheet's size. The workbook is
// written to disk only when the object is destroyed:
//   - after CreateExcel, as a new file at the path given to the last CreateExcel (an existing
//     file of that name is deleted by CreateExcel at once);
//   - after LoadExcel alone, back into the loaded file (which stays open until then), changed
//     or not. Only the cell values of the first sheet and the workbook's fonts, cell formats,
//     styles and sheet names survive; other content (formats, formulas, merged cells, ...) is
//     not written back. The file's other streams and storages (document summary, macros, ...)
//     are kept as they were. A file this process may not write is left as it is.
// A file is replaced only when the new one was written completely: the new document is written
// beside it (same folder, a temporary name) and renamed over it; when that fails (full disk,
// I/O error) the old file stays as it was and the temporary one is removed. A loaded file keeps
// its permissions (and, where the process may, its owner); a symbolic link to it stays a link and
// its target is replaced; a file with several hard links gets a new one under this name only.
//
// Results: CreateExcel/LoadExcel return 1 on success and 0 on failure (a missing, truncated
// or corrupt file, or one without a worksheet). Get returns false, leaving its output as it was,
// when the cell is outside the sheet's limits or holds another type; Get into a text buffer
// gives an empty text and true for an empty cell. Set outside the limits does nothing. Get and
// Set beyond the sheet's current size grow the size (GetRows/GetCols) to include the cell.
// Integers read from a file may come back as doubles (other producers, and this library for
// values beyond 30 bits, store them so): Get into int32_t truncates those toward zero.
// Texts are read from shared strings and from text cells (LABEL, and RSTRING with its formatting
// runs, which are dropped) alike, and written as shared strings.
// Texts longer than 32 767 UTF-16 units are cut to that length. A narrow text whose
// characters lie beyond Latin-1 is stored as a UTF-16 text and reads back as a wide text.
//
// Copies: copy construction and assignment share one workbook between the objects; it is saved
// and released once, by the last of them to be destroyed (or to be assigned over). CreateExcel
// or LoadExcel on one of them gives that object a workbook of its own.
//
// Code pages: narrow texts are in the ANSI code page, narrow paths pass through the OEM code
// page; both default to the character set of the locale (LANG/LC_ALL, e.g. UTF-8) and can be
// set process-wide with SetCodePages.
//
// Threads: no locking; use one object from one thread at a time. Separate objects on separate
// files are independent; the static helpers may be called from any thread.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define ZQEXCEL_API __declspec(dllexport)
#else
#define ZQEXCEL_API __attribute__((visibility("default")))
#endif

class ZQEXCEL_API ZQExcel {
  public:
    ZQExcel();
    ~ZQExcel();
    ZQExcel(const ZQExcel& other);
    ZQExcel& operator=(const ZQExcel& other);

    int CreateExcel(const char* path);
    int CreateExcel(const char16_t* path);
    int LoadExcel(const char* path);
    int LoadExcel(const char16_t* path);

    bool Get(int row, int col, int32_t& value);
    bool Get(int row, int col, double& value);
    // The buffer must hold the whole text and its terminator.
    bool Get(int row, int col, char* text);
    bool Get(int row, int col, char16_t* text);
    // Bounded: false, buffer unchanged, when the text and its terminator need more than
    // `capacity` units (bytes for char, UTF-16 units for char16_t).
    bool Get(int row, int col, char* text, int capacity);
    bool Get(int row, int col, char16_t* text, int capacity);

    void Set(int row, int col, int32_t value);
    // NaN and infinities stay in the cell (Get gives them back) but the file format has no such
    // numbers: they are saved as the error value #NUM!, which loads as an empty cell.
    void Set(int row, int col, double value);
    // An empty (or null) narrow text makes the cell empty.
    void Set(int row, int col, const char* text);
    // The text passes through the ANSI code page: characters it cannot hold become '?'.
    void Set(int row, int col, const char16_t* text);

    int GetRows();
    int GetCols();

    // UTF-16 to the ANSI code page: a new zero-filled array (release with delete[]); `length`
    // is the converted length including the terminator. On failure an empty text, length 0.
    static char* WideToASNChar(const char16_t* text, int& length);
    // The OEM code page to UTF-16: a new array of `length` units including the terminator
    // (release with delete[]). On failure an empty text, length 0.
    static char16_t* ASNToWideChar(const char* text, int& length);

    // Sets the ANSI and/or OEM code page by iconv name ("WINDOWS-1252", "GBK", "UTF-8", ...);
    // null or empty keeps one. False, nothing changed, when a name is unknown.
    static bool SetCodePages(const char* ansi, const char* oem);

  private:
    struct Workbook;

    void Release();  // drops this object's share; the last share saves and frees the workbook
    void Drop();     // drops this object's share; the last share frees the workbook unsaved
    void Detach();   // gives this object a workbook of its own
    int Load(const char* file);

    void* current_sheet_;  // cell grid of sheet 0 of the workbook
    int32_t reserved_;
    Workbook* workbook_;   // shared by copies; see above
    int32_t wide_path_;    // 1 when the last create used a wide path
    char path_[512];       // the last narrow create's path
    char16_t wpath_[512];  // the last wide create's path
};
