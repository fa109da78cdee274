#include "data_stream.h"

#include <cstring>
#include <new>

namespace opcstream {

namespace {

// The size an element has in a 32-bit process, and whether its bytes are a pointer there.
struct ElementShape {
    DWORD size32;
    bool pointer;
    bool variant;
};

ElementShape ShapeOf(const SAFEARRAY& a) {
    if (a.fFeatures & FADF_VARIANT) return {16, false, true};
    if (a.fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_RECORD))
        return {4, true, false};
    return {a.cbElements, false, false};
}

bool DataIsPointer(VARTYPE vt) {
    if (vt & (VT_ARRAY | VT_BYREF)) return true;
    switch (vt) {
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
        case VT_RECORD:
        case VT_LPSTR:
        case VT_LPWSTR:
            return true;
        default:
            return false;
    }
}

// The bytes of a scalar's data that carry it; the rest of the eight are written as zeros, so
// that what a conversion left there never reaches the stream.
size_t ScalarSize(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            return 0;
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_R4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
            return 4;
        default:
            return 8;
    }
}

const SAFEARRAY* ArrayOf(const VARIANT& v) {
    return (V_VT(&v) & VT_ARRAY) && !(V_VT(&v) & VT_BYREF) ? V_ARRAY(&v) : nullptr;
}

size_t ExtraBytes(const VARIANT& v) {
    if (V_VT(&v) == VT_BSTR) return 4 + 2 * (static_cast<size_t>(SysStringLen(V_BSTR(&v))) + 1);
    if (V_VT(&v) & VT_ARRAY) {
        const SAFEARRAY* a = ArrayOf(v);
        if (!a || a->cDims == 0) return kArrayDescriptorSize;
        return kArrayDescriptorSize +
               static_cast<size_t>(a->rgsabound[0].cElements) * ShapeOf(*a).size32;
    }
    return 0;
}

class Writer {
  public:
    explicit Writer(std::vector<BYTE>& out) : out_(out) {}
    void Put(const void* data, size_t size) {
        const BYTE* b = static_cast<const BYTE*>(data);
        out_.insert(out_.end(), b, b + size);
    }
    void Dword(DWORD v) { Put(&v, 4); }
    void Word(WORD v) { Put(&v, 2); }
    void Zeros(size_t n) { out_.insert(out_.end(), n, 0); }
    void Filetime(const FILETIME& t) {
        Dword(t.dwLowDateTime);
        Dword(t.dwHighDateTime);
    }

    void ValueImage(const VARIANT& v) {
        if (V_VT(&v) == VT_DECIMAL) {
            Put(&v, kValueImageSize);  // the DECIMAL overlays the whole image, its type included
            return;
        }
        Word(V_VT(&v));
        Zeros(6);
        const size_t used = DataIsPointer(V_VT(&v)) ? 0 : ScalarSize(V_VT(&v));
        Put(reinterpret_cast<const BYTE*>(&v) + 8, used);
        Zeros(8 - used);
    }

    void Extra(const VARIANT& v) {
        if (V_VT(&v) == VT_BSTR) {
            const UINT chars = SysStringLen(V_BSTR(&v));
            Dword(2 * (chars + 1));
            if (chars) Put(V_BSTR(&v), 2 * chars);
            Word(0);
            return;
        }
        if (!(V_VT(&v) & VT_ARRAY)) return;
        const SAFEARRAY* a = ArrayOf(v);
        if (!a || a->cDims == 0) {
            Zeros(kArrayDescriptorSize);
            return;
        }
        const ElementShape shape = ShapeOf(*a);
        const DWORD count = a->rgsabound[0].cElements;
        Word(a->cDims);
        Word(a->fFeatures);
        Dword(shape.size32);
        Dword(a->cLocks);
        Dword(0);  // the data pointer
        Dword(count);
        Dword(static_cast<DWORD>(a->rgsabound[0].lLbound));
        const BYTE* data = static_cast<const BYTE*>(a->pvData);
        for (DWORD i = 0; i < count; ++i) {
            const BYTE* element = data + static_cast<size_t>(i) * a->cbElements;
            if (shape.variant)
                ValueImage(*reinterpret_cast<const VARIANT*>(element));
            else if (shape.pointer || !data)
                Zeros(shape.size32);
            else
                Put(element, shape.size32);
        }
    }

  private:
    std::vector<BYTE>& out_;
};

class Reader {
  public:
    Reader(const BYTE* data, size_t size) : data_(data), size_(size) {}
    bool Has(size_t at, size_t n) const { return at <= size_ && n <= size_ - at; }
    DWORD Dword(size_t at) const {
        DWORD v;
        memcpy(&v, data_ + at, 4);
        return v;
    }
    WORD Word(size_t at) const {
        WORD v;
        memcpy(&v, data_ + at, 2);
        return v;
    }
    FILETIME Filetime(size_t at) const { return {Dword(at), Dword(at + 4)}; }
    const BYTE* At(size_t at) const { return data_ + at; }

    // The value at `at` with its extra bytes; false when they run past the end.
    bool Value(size_t at, Variant& out) const {
        if (!Has(at, kValueImageSize)) return false;
        const VARTYPE vt = Word(at);
        VARIANT* v = out.Put();
        if (vt == VT_DECIMAL) {
            memcpy(v, At(at), kValueImageSize);
            V_VT(v) = VT_DECIMAL;
            return true;
        }
        const size_t extra = at + kValueImageSize;
        if (vt == VT_BSTR) {
            if (!Has(extra, 4)) return false;
            const DWORD bytes = Dword(extra);
            if (bytes < 2 || bytes % 2 || !Has(extra + 4, bytes)) return false;
            BSTR s =
                SysAllocStringLen(reinterpret_cast<const OLECHAR*>(At(extra + 4)), bytes / 2 - 1);
            if (!s) throw std::bad_alloc();
            V_VT(v) = VT_BSTR;
            V_BSTR(v) = s;
            return true;
        }
        if (vt & VT_ARRAY) return Array(vt, extra, out);
        if (DataIsPointer(vt)) return true;  // nothing to rebuild: left empty
        memcpy(reinterpret_cast<BYTE*>(v) + 8, At(at + 8), 8);
        V_VT(v) = vt;
        return true;
    }

  private:
    bool Array(VARTYPE vt, size_t at, Variant& out) const {
        if (!Has(at, kArrayDescriptorSize)) return false;
        const DWORD elementSize = Dword(at + 4);
        const DWORD count = Dword(at + 16);
        const LONG lower = static_cast<LONG>(Dword(at + 20));
        const size_t elements = at + kArrayDescriptorSize;
        if (elementSize == 0 ? count != 0 : count > (size_ - elements) / elementSize) return false;
        const VARTYPE type = vt & VT_TYPEMASK;
        SAFEARRAY* a = SafeArrayCreateVector(type, lower, count);
        if (!a) return false;
        const bool plain = type != VT_BSTR && type != VT_VARIANT && type != VT_UNKNOWN &&
                           type != VT_DISPATCH && a->cbElements == elementSize;
        if (plain && count)
            memcpy(a->pvData, At(elements), static_cast<size_t>(count) * elementSize);
        if (type == VT_VARIANT && elementSize == kValueImageSize) {
            // Elements carry no extra bytes: only those whose image is the whole value return.
            for (DWORD i = 0; i < count; ++i) {
                const size_t image = elements + static_cast<size_t>(i) * kValueImageSize;
                const VARTYPE elementType = Word(image);
                if (DataIsPointer(elementType)) continue;
                VARIANT* element = static_cast<VARIANT*>(a->pvData) + i;
                if (elementType == VT_DECIMAL) {
                    memcpy(element, At(image), kValueImageSize);
                } else {
                    memcpy(reinterpret_cast<BYTE*>(element) + 8, At(image + 8), 8);
                }
                V_VT(element) = elementType;
            }
        }
        VARIANT* v = out.Put();
        V_VT(v) = static_cast<VARTYPE>(VT_ARRAY | type);
        V_ARRAY(v) = a;
        return true;
    }

    const BYTE* data_;
    size_t size_;
};

}  // namespace

std::vector<BYTE> BuildData(Format format, OPCHANDLE group, DWORD transactionId, HRESULT status,
                            const std::vector<Item>& items) {
    const size_t n = items.size();
    const size_t headers = kGroupHeaderSize + ItemHeaderSize(format) * n;
    size_t size = headers + kValueImageSize * n;
    for (const Item& item : items) size += ExtraBytes(*item.value);
    std::vector<BYTE> out;
    out.reserve(size);
    Writer w(out);
    w.Dword(static_cast<DWORD>(size));
    w.Dword(static_cast<DWORD>(n));
    w.Dword(group);
    w.Dword(transactionId);
    w.Dword(static_cast<DWORD>(status));
    size_t offset = headers;
    for (const Item& item : items) {
        w.Dword(item.client);
        w.Dword(static_cast<DWORD>(offset));
        w.Word(item.quality);
        w.Word(0);
        if (format == Format::kDataTime) w.Filetime(item.timestamp);
        offset += kValueImageSize + ExtraBytes(*item.value);
    }
    for (const Item& item : items) {
        w.ValueImage(*item.value);
        w.Extra(*item.value);
    }
    return out;
}

std::vector<BYTE> BuildWriteComplete(OPCHANDLE group, DWORD transactionId, HRESULT status,
                                     const std::vector<std::pair<OPCHANDLE, HRESULT>>& items) {
    std::vector<BYTE> out;
    out.reserve(16 + 8 * items.size());
    Writer w(out);
    w.Dword(static_cast<DWORD>(items.size()));
    w.Dword(group);
    w.Dword(transactionId);
    w.Dword(static_cast<DWORD>(status));
    for (const auto& item : items) {
        w.Dword(item.first);
        w.Dword(static_cast<DWORD>(item.second));
    }
    return out;
}

bool ReadData(Format format, const BYTE* data, size_t size, ReadStream& out) {
    Reader r(data, size);
    if (!data || !r.Has(0, kGroupHeaderSize) || r.Dword(0) > size) return false;
    const DWORD n = r.Dword(4);
    out.group = r.Dword(8);
    out.transactionId = r.Dword(12);
    out.status = static_cast<HRESULT>(r.Dword(16));
    const size_t header = ItemHeaderSize(format);
    if (n > (size - kGroupHeaderSize) / header) return false;
    out.items.clear();
    out.items.resize(n);
    for (DWORD k = 0; k < n; ++k) {
        const size_t at = kGroupHeaderSize + header * k;
        ReadItem& item = out.items[k];
        item.client = r.Dword(at);
        item.quality = r.Word(at + 8);
        if (format == Format::kDataTime) item.timestamp = r.Filetime(at + 12);
        if (!r.Value(r.Dword(at + 4), item.value)) return false;
    }
    return true;
}

bool ReadWriteComplete(const BYTE* data, size_t size, ReadStream& out) {
    Reader r(data, size);
    if (!data || !r.Has(0, 16)) return false;
    const DWORD n = r.Dword(0);
    if (n > (size - 16) / 8) return false;
    out.group = r.Dword(4);
    out.transactionId = r.Dword(8);
    out.status = static_cast<HRESULT>(r.Dword(12));
    out.items.clear();
    out.items.resize(n);
    for (DWORD k = 0; k < n; ++k) {
        out.items[k].client = r.Dword(16 + 8 * k);
        out.items[k].error = static_cast<HRESULT>(r.Dword(20 + 8 * k));
    }
    return true;
}

}  // namespace opcstream
