#pragma once

#include <windows.h>

#include <memory>
#include <system_error>
#include <type_traits>

// GDI objects with exactly one owner each: the pens, fonts, brushes and
// bitmaps of the window and the memory DCs of its painting are deleted when
// their owner goes, on every path.
struct GdiObjectDeleter {
  void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
template <class Handle>
using UniqueGdi = std::unique_ptr<std::remove_pointer_t<Handle>, GdiObjectDeleter>;
using UniquePen = UniqueGdi<HPEN>;
using UniqueFont = UniqueGdi<HFONT>;
using UniqueBrush = UniqueGdi<HBRUSH>;
using UniqueBitmap = UniqueGdi<HBITMAP>;

struct MemoryDcDeleter {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
using UniqueMemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, MemoryDcDeleter>;

// An object selected into a DC for one scope; the DC gets its old one back,
// as it must before either is deleted.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;
  ~Selection() { SelectObject(dc_, old_); }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// The tool's bitmaps from its own resources, as DIB sections.
UniqueBitmap LoadBitmapResource(int id);

// The calling thread's last error after a GDI or window call. GDI often fails without setting one
// (an exhausted handle quota, say); that is reported as lack of memory,
// which it is.
std::error_code LastGdiError();
