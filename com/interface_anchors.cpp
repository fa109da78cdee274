#include "interface_anchors.h"

namespace {

// The object exported: it answers exactly the interface it is exported under and is never
// called through it, since no client ever receives the marshaled data. It lives for the
// process and holds no module lock, so that the server still ends when its clients go.
class Anchor final : public IUnknown {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != exported_) return E_NOINTERFACE;
        *ppv = static_cast<IUnknown*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    IID exported_ = IID_IUnknown;
};

}  // namespace

size_t InterfaceAnchors::Hold(std::initializer_list<IID> iids) noexcept {
    size_t held = 0;
    for (const IID& iid : iids) {
        // One anchor per interface: its QueryInterface must answer only that one.
        auto* anchor = new (std::nothrow) Anchor;
        if (!anchor) break;
        anchor->exported_ = iid;
        ComPtr<IStream> stream;
        if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put())) ||
            FAILED(CoMarshalInterface(stream.Get(), iid, anchor, MSHCTX_LOCAL, nullptr,
                                      MSHLFLAGS_TABLESTRONG))) {
            continue;  // the anchor is left to the process: a few bytes
        }
        try {
            exports_.push_back(stream);
            ++held;
        } catch (...) {
            LARGE_INTEGER start{};
            stream->Seek(start, STREAM_SEEK_SET, nullptr);
            CoReleaseMarshalData(stream.Get());
        }
    }
    return held;
}

void InterfaceAnchors::Release() noexcept {
    for (ComPtr<IStream>& stream : exports_) {
        LARGE_INTEGER start{};
        stream->Seek(start, STREAM_SEEK_SET, nullptr);
        CoReleaseMarshalData(stream.Get());
    }
    exports_.clear();
}
