// Text recognition through Windows.Media.Ocr, whose interfaces the mingw headers lack.
#include <cstring>

#include "platform/win32/win32_capture.h"
#include "platform/win32/win32_capture_internal.h"

// As the Windows SDK declares them.
namespace velmora::computer_use::platform::win32::abi {

using ABI::Windows::Graphics::Imaging::ISoftwareBitmap;

struct IOcrLine : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Words(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Text(HSTRING* value) = 0;
};

// IVectorView<OcrLine>.
struct IOcrLineView : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, IOcrLine** item) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;
  virtual HRESULT STDMETHODCALLTYPE IndexOf(IOcrLine* item, UINT32* index, boolean* found) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMany(UINT32 start, UINT32 capacity, IOcrLine** items,
                                            UINT32* count) = 0;
};

struct IOcrResult : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Lines(IOcrLineView** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_TextAngle(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Text(HSTRING* value) = 0;
};

struct IOcrResultOperation;

// AsyncOperationCompletedHandler<OcrResult>.
struct IOcrResultCompletedHandler : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IOcrResultOperation* operation, AsyncStatus status) = 0;
};

// IAsyncOperation<OcrResult>.
struct IOcrResultOperation : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IOcrResultCompletedHandler* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IOcrResultCompletedHandler** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(IOcrResult** result) = 0;
};

struct IOcrEngine : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE RecognizeAsync(ISoftwareBitmap* bitmap,
                                                   IOcrResultOperation** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RecognizerLanguage(IInspectable** value) = 0;
};

struct IOcrEngineStatics : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_MaxImageDimension(UINT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AvailableRecognizerLanguages(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsLanguageSupported(IInspectable* language,
                                                        boolean* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryCreateFromLanguage(IInspectable* language,
                                                          IOcrEngine** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryCreateFromUserProfileLanguages(IOcrEngine** result) = 0;
};

}  // namespace velmora::computer_use::platform::win32::abi

// Their IIDs, for __uuidof.
#define VELMORA_ABI(name) velmora::computer_use::platform::win32::abi::name
__CRT_UUID_DECL(VELMORA_ABI(IOcrLine), 0x0043a16f, 0xe31f, 0x3a24, 0x89, 0x9c, 0xd4, 0x44, 0xbd,
                0x08, 0x81, 0x24)
__CRT_UUID_DECL(VELMORA_ABI(IOcrLineView), 0x60c76eac, 0x8875, 0x5ddb, 0xa1, 0x9b, 0x65, 0xa3, 0x93,
                0x62, 0x79, 0xea)
__CRT_UUID_DECL(VELMORA_ABI(IOcrResult), 0x9bd235b2, 0x175b, 0x3d6a, 0x92, 0xe2, 0x38, 0x8c, 0x20,
                0x6e, 0x2f, 0x63)
__CRT_UUID_DECL(VELMORA_ABI(IOcrResultCompletedHandler), 0x989c1371, 0x444a, 0x5e7e, 0xb1, 0x97,
                0x9e, 0xaa, 0xf9, 0xd2, 0x82, 0x9a)
__CRT_UUID_DECL(VELMORA_ABI(IOcrResultOperation), 0xc7d7118e, 0xae36, 0x59c0, 0xac, 0x76, 0x7b,
                0xad, 0xee, 0x71, 0x1c, 0x8b)
__CRT_UUID_DECL(VELMORA_ABI(IOcrEngine), 0x5a14bc41, 0x5b76, 0x3140, 0xb6, 0x80, 0x88, 0x25, 0x56,
                0x26, 0x83, 0xac)
__CRT_UUID_DECL(VELMORA_ABI(IOcrEngineStatics), 0x5bffa85a, 0x3384, 0x3540, 0x99, 0x40, 0x69, 0x91,
                0x20, 0xd4, 0x28, 0xa8)
#undef VELMORA_ABI

namespace velmora::computer_use::platform::win32 {
namespace {

// The characters of a Windows Runtime string; null is the empty string.
std::u16string HStringText(HSTRING value) {
  UINT32 length = 0;
  const wchar_t* raw = WindowsGetStringRawBuffer(value, &length);
  return FromWide(std::wstring_view(raw, length));
}

// A new system bitmap holding the pixels; none where the platform has no software bitmaps.
wrl::ComPtr<imaging::ISoftwareBitmap> CopyToSoftwareBitmap(const Win32Bitmap& source) {
  wrl::ComPtr<imaging::ISoftwareBitmapFactory> factory;
  if (FAILED(
          TryGetActivationFactory(RuntimeClass_Windows_Graphics_Imaging_SoftwareBitmap, factory))) {
    return nullptr;
  }
  wrl::ComPtr<imaging::ISoftwareBitmap> bitmap;
  Check(factory->CreateWithAlpha(imaging::BitmapPixelFormat_Bgra8, source.Width(), source.Height(),
                                 imaging::BitmapAlphaMode_Premultiplied, &bitmap));
  const std::size_t rowBytes = static_cast<std::size_t>(source.Width()) * kBytesPerPixel;
  const std::uint8_t* pixels = source.BgraPixels().data();
  VisitRows(*bitmap.Get(), imaging::BitmapBufferAccessMode_Write, source.Width(), source.Height(),
            [&](BYTE* row, std::int32_t index) {
              std::memcpy(row, pixels + rowBytes * static_cast<std::size_t>(index), rowBytes);
            });
  return bitmap;
}

}  // namespace

std::optional<std::vector<std::u16string>> Win32CaptureApi::RecognizeText(Bitmap& bitmap) {
  const auto& source = static_cast<const Win32Bitmap&>(bitmap);
  wrl::ComPtr<abi::IOcrEngineStatics> statics;
  if (FAILED(TryGetActivationFactory(L"Windows.Media.Ocr.OcrEngine", statics))) {
    return std::nullopt;
  }
  wrl::ComPtr<abi::IOcrEngine> engine;
  Check(statics->TryCreateFromUserProfileLanguages(&engine));
  if (!engine) return std::nullopt;
  wrl::ComPtr<imaging::ISoftwareBitmap> softwareBitmap = source.SoftwareBitmap();
  if (!softwareBitmap) softwareBitmap = CopyToSoftwareBitmap(source);
  if (!softwareBitmap) return std::nullopt;

  wrl::ComPtr<abi::IOcrResultOperation> operation;
  Check(engine->RecognizeAsync(softwareBitmap.Get(), &operation));
  wrl::ComPtr<abi::IOcrResult> result;
  AwaitResults<abi::IOcrResultCompletedHandler>(*operation.Get(), result);
  wrl::ComPtr<abi::IOcrLineView> lines;
  Check(result->get_Lines(&lines));
  UINT32 count = 0;
  Check(lines->get_Size(&count));
  std::vector<std::u16string> texts;
  texts.reserve(count);
  for (UINT32 index = 0; index < count; ++index) {
    wrl::ComPtr<abi::IOcrLine> line;
    Check(lines->GetAt(index, &line));
    UniqueHString text;
    Check(line->get_Text(text.Put()));
    texts.push_back(HStringText(text.Get()));
  }
  return texts;
}

}  // namespace velmora::computer_use::platform::win32
