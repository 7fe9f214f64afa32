#include "platform/win32/win32_capture.h"

#include <d3d11.h>
#include <dxgi.h>
#include <inspectable.h>
#include <objidl.h>
#include <wincodec.h>
#include <windows.foundation.h>
#include <windows.graphics.capture.h>
#include <windows.graphics.directx.direct3d11.h>
#include <windows.graphics.imaging.h>
#include <winstring.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "common/platform_error.h"

// Exported by d3d11.dll; the mingw headers do not declare it.
extern "C" HRESULT WINAPI CreateDirect3D11DeviceFromDXGIDevice(IDXGIDevice* dxgiDevice,
                                                               IInspectable** graphicsDevice);

// The WinRT interfaces the mingw headers lack, as the Windows SDK declares them.
namespace velmora::computer_use::platform::win32::abi {

using ABI::Windows::Graphics::DirectX::DirectXPixelFormat;
using ABI::Windows::Graphics::DirectX::Direct3D11::IDirect3DDevice;
using ABI::Windows::Graphics::DirectX::Direct3D11::IDirect3DSurface;
using ABI::Windows::Graphics::Imaging::ISoftwareBitmap;

struct SizeInt32 {
  INT32 Width;
  INT32 Height;
};

struct IGraphicsCaptureItemInterop : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid, void** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR monitor, REFIID iid,
                                                     void** result) = 0;
};

struct IGraphicsCaptureItem : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(SizeInt32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_Closed(IUnknown* handler,
                                               EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_Closed(EventRegistrationToken token) = 0;
};

struct IGraphicsCaptureSession2 : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(boolean value) = 0;
};

struct IDirect3D11CaptureFrame : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Surface(IDirect3DSurface** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  get_SystemRelativeTime(ABI::Windows::Foundation::TimeSpan* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ContentSize(SizeInt32* value) = 0;
};

struct IDirect3D11CaptureFramePool;

// TypedEventHandler<Direct3D11CaptureFramePool, Object>.
struct IFramePoolEventHandler : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IDirect3D11CaptureFramePool* sender,
                                           IInspectable* args) = 0;
};

struct IDirect3D11CaptureFramePool : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Recreate(IDirect3DDevice* device,
                                             DirectXPixelFormat pixelFormat, INT32 numberOfBuffers,
                                             SizeInt32 size) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryGetNextFrame(IDirect3D11CaptureFrame** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_FrameArrived(IFramePoolEventHandler* handler,
                                                     EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_FrameArrived(EventRegistrationToken token) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  CreateCaptureSession(IGraphicsCaptureItem* item,
                       ABI::Windows::Graphics::Capture::IGraphicsCaptureSession** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** value) = 0;
};

struct IDirect3D11CaptureFramePoolStatics2 : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE CreateFreeThreaded(IDirect3DDevice* device,
                                                       DirectXPixelFormat pixelFormat,
                                                       INT32 numberOfBuffers, SizeInt32 size,
                                                       IDirect3D11CaptureFramePool** result) = 0;
};

struct IMemoryBufferByteAccess : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** value, UINT32* capacity) = 0;
};

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
__CRT_UUID_DECL(VELMORA_ABI(IGraphicsCaptureItemInterop), 0x3628e81b, 0x3cac, 0x4c60, 0xb7, 0xf4,
                0x23, 0xce, 0x0e, 0x0c, 0x33, 0x56)
__CRT_UUID_DECL(VELMORA_ABI(IGraphicsCaptureItem), 0x79c3f95b, 0x31f7, 0x4ec2, 0xa4, 0x64, 0x63,
                0x2e, 0xf5, 0xd3, 0x07, 0x60)
__CRT_UUID_DECL(VELMORA_ABI(IGraphicsCaptureSession2), 0x2c39ae40, 0x7d2e, 0x5044, 0x80, 0x4e, 0x8b,
                0x67, 0x99, 0xd4, 0xcf, 0x9e)
__CRT_UUID_DECL(VELMORA_ABI(IDirect3D11CaptureFrame), 0xfa50c623, 0x38da, 0x4b32, 0xac, 0xf3, 0xfa,
                0x97, 0x34, 0xad, 0x80, 0x0e)
__CRT_UUID_DECL(VELMORA_ABI(IFramePoolEventHandler), 0x51a947f7, 0x79cf, 0x5a3e, 0xa3, 0xa5, 0x12,
                0x89, 0xcf, 0xa6, 0xdf, 0xe8)
__CRT_UUID_DECL(VELMORA_ABI(IDirect3D11CaptureFramePool), 0x24eb6d22, 0x1975, 0x422e, 0x82, 0xe7,
                0x78, 0x0d, 0xbd, 0x8d, 0xdf, 0x24)
__CRT_UUID_DECL(VELMORA_ABI(IDirect3D11CaptureFramePoolStatics2), 0x589b103f, 0x6bbc, 0x5df5, 0xa9,
                0x91, 0x02, 0xe2, 0x8b, 0x3b, 0x66, 0xd5)
__CRT_UUID_DECL(VELMORA_ABI(IMemoryBufferByteAccess), 0x5b0d3235, 0x4dba, 0x4d44, 0x86, 0x5e, 0x8f,
                0x1d, 0x0e, 0x4f, 0xd0, 0x4d)
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

namespace wrl = Microsoft::WRL;
namespace imaging = ABI::Windows::Graphics::Imaging;
using ABI::Windows::Foundation::IAsyncOperation;
using ABI::Windows::Foundation::IAsyncOperationCompletedHandler;
using ABI::Windows::Graphics::Capture::IGraphicsCaptureSession;
using ABI::Windows::Graphics::Capture::IGraphicsCaptureSessionStatics;
using ABI::Windows::Graphics::DirectX::Direct3D11::IDirect3DDevice;
using ABI::Windows::Graphics::DirectX::Direct3D11::IDirect3DSurface;

constexpr std::int32_t kBytesPerPixel = 4;

void Check(HRESULT result) {
  if (FAILED(result)) throw PlatformError{static_cast<std::int32_t>(result)};
}

HRESULT LastErrorResult() {
  return HRESULT_FROM_WIN32(GetLastError());
}

template <typename Interface>
HRESULT TryGetActivationFactory(const wchar_t* className, wrl::ComPtr<Interface>& factory) {
  HSTRING_HEADER header;
  HSTRING name = nullptr;
  const HRESULT created = WindowsCreateStringReference(
      className, static_cast<UINT32>(std::wcslen(className)), &header, &name);
  if (FAILED(created)) return created;
  return RoGetActivationFactory(name, __uuidof(Interface), &factory);
}

template <typename Interface>
wrl::ComPtr<Interface> GetActivationFactory(const wchar_t* className) {
  wrl::ComPtr<Interface> factory;
  Check(TryGetActivationFactory(className, factory));
  return factory;
}

// The characters of a Windows Runtime string; null is the empty string.
std::u16string HStringText(HSTRING value) {
  UINT32 length = 0;
  const wchar_t* raw = WindowsGetStringRawBuffer(value, &length);
  return FromWide(std::wstring_view(raw, length));
}

// An agile COM object of one interface, called on whichever thread the system picks; the last
// Release frees it.
template <typename Interface>
class AgileComObject : public Interface, public IAgileObject {
 public:
  AgileComObject() = default;
  AgileComObject(const AgileComObject&) = delete;
  AgileComObject& operator=(const AgileComObject&) = delete;
  virtual ~AgileComObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
    if (result == nullptr) return E_POINTER;
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(Interface))) {
      *result = static_cast<Interface*>(this);
    } else if (IsEqualIID(iid, __uuidof(IAgileObject))) {
      *result = static_cast<IAgileObject*>(this);
    } else {
      *result = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG remaining = --references_;
    if (remaining == 0) {
      const std::unique_ptr<AgileComObject> last(this);
    }
    return remaining;
  }

 private:
  std::atomic<ULONG> references_{1};
};

// The object's first reference, held by the returned pointer.
template <typename Object, typename... Arguments>
wrl::ComPtr<Object> MakeComObject(Arguments&&... arguments) {
  auto object = std::make_unique<Object>(std::forward<Arguments>(arguments)...);
  wrl::ComPtr<Object> reference;
  reference.Attach(object.release());
  return reference;
}

// Signals an event when an asynchronous operation completes. The event belongs to the handler,
// which the operation may release after the waiter has gone.
template <typename Handler, typename Operation>
class CompletionSignal final : public AgileComObject<Handler> {
 public:
  CompletionSignal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!event_.Valid()) throw PlatformError{LastErrorResult()};
  }
  HRESULT STDMETHODCALLTYPE Invoke(Operation* /*operation*/, AsyncStatus status) override {
    status_.store(status);
    SetEvent(event_.Get());
    return S_OK;
  }
  AsyncStatus Wait() {
    if (WaitForSingleObject(event_.Get(), INFINITE) != WAIT_OBJECT_0) {
      throw PlatformError{LastErrorResult()};
    }
    return status_.load();
  }

 private:
  UniqueHandle event_;
  std::atomic<AsyncStatus> status_{Started};
};

// Blocks without a time-out until the operation ends, then takes its results.
template <typename Handler, typename Operation, typename Result>
void AwaitResults(Operation& operation, wrl::ComPtr<Result>& result) {
  const wrl::ComPtr<CompletionSignal<Handler, Operation>> signal =
      MakeComObject<CompletionSignal<Handler, Operation>>();
  Check(operation.put_Completed(signal.Get()));
  const AsyncStatus status = signal->Wait();
  if (status == Completed) {
    Check(operation.GetResults(result.ReleaseAndGetAddressOf()));
    if (!result) throw PlatformError{E_POINTER};
    return;
  }
  HRESULT failure = status == Canceled ? HRESULT_FROM_WIN32(ERROR_CANCELLED) : E_FAIL;
  wrl::ComPtr<IAsyncInfo> info;
  HRESULT error = S_OK;
  if (SUCCEEDED(operation.QueryInterface(__uuidof(IAsyncInfo), &info)) &&
      SUCCEEDED(info->get_ErrorCode(&error)) && FAILED(error)) {
    failure = error;
  }
  throw PlatformError{failure};
}

HRESULT CloseObject(IInspectable* object) {
  if (object == nullptr) return S_OK;
  wrl::ComPtr<ABI::Windows::Foundation::IClosable> closable;
  const HRESULT queried =
      object->QueryInterface(__uuidof(ABI::Windows::Foundation::IClosable), &closable);
  return FAILED(queried) ? queried : closable->Close();
}

// Calls the visitor with each of the bitmap's rows, locked for the access given, after
// checking the buffer holds the whole picture.
template <typename RowVisitor>
void VisitRows(imaging::ISoftwareBitmap& bitmap, imaging::BitmapBufferAccessMode access,
               std::int32_t width, std::int32_t height, RowVisitor&& visit) {
  wrl::ComPtr<imaging::IBitmapBuffer> buffer;
  Check(bitmap.LockBuffer(access, &buffer));
  imaging::BitmapPlaneDescription plane{};
  Check(buffer->GetPlaneDescription(0, &plane));
  wrl::ComPtr<ABI::Windows::Foundation::IMemoryBuffer> memory;
  Check(buffer.As(&memory));
  wrl::ComPtr<ABI::Windows::Foundation::IMemoryBufferReference> reference;
  Check(memory->CreateReference(&reference));
  wrl::ComPtr<abi::IMemoryBufferByteAccess> bytes;
  Check(reference.As(&bytes));
  BYTE* data = nullptr;
  UINT32 capacity = 0;
  Check(bytes->GetBuffer(&data, &capacity));

  const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * kBytesPerPixel;
  const bool fits = data != nullptr && plane.StartIndex >= 0 && plane.Width >= width &&
                    plane.Height >= height && plane.Stride >= 0 &&
                    static_cast<std::uint64_t>(plane.Stride) >= rowBytes &&
                    static_cast<std::uint64_t>(plane.StartIndex) +
                            static_cast<std::uint64_t>(plane.Stride) * (height - 1) + rowBytes <=
                        capacity;
  if (!fits) throw PlatformError{E_UNEXPECTED};
  for (std::int32_t row = 0; row < height; ++row) {
    visit(data + plane.StartIndex + static_cast<std::size_t>(plane.Stride) * row, row);
  }
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

class Win32CaptureFrame final : public CaptureFrame {
 public:
  explicit Win32CaptureFrame(wrl::ComPtr<abi::IDirect3D11CaptureFrame> frame)
      : frame_(std::move(frame)) {}

  std::unique_ptr<Bitmap> CopyToBitmap() override {
    wrl::ComPtr<IDirect3DSurface> surface;
    Check(frame_->get_Surface(&surface));
    const auto statics = GetActivationFactory<imaging::ISoftwareBitmapStatics>(
        RuntimeClass_Windows_Graphics_Imaging_SoftwareBitmap);
    wrl::ComPtr<IAsyncOperation<imaging::SoftwareBitmap*>> operation;
    Check(statics->CreateCopyFromSurfaceAsync(surface.Get(), &operation));
    wrl::ComPtr<imaging::ISoftwareBitmap> bitmap;
    AwaitResults<IAsyncOperationCompletedHandler<imaging::SoftwareBitmap*>>(*operation.Get(),
                                                                            bitmap);
    return std::make_unique<Win32Bitmap>(*bitmap.Get());
  }

 private:
  wrl::ComPtr<abi::IDirect3D11CaptureFrame> frame_;
};

// The pool that raised an arrival, for the length of one handler call.
class PoolFrameSource final : public FrameSource {
 public:
  explicit PoolFrameSource(abi::IDirect3D11CaptureFramePool& pool) : pool_(pool) {}

  std::unique_ptr<CaptureFrame> TryGetNextFrame() override {
    wrl::ComPtr<abi::IDirect3D11CaptureFrame> frame;
    Check(pool_.TryGetNextFrame(&frame));
    if (!frame) return nullptr;
    return std::make_unique<Win32CaptureFrame>(std::move(frame));
  }

 private:
  abi::IDirect3D11CaptureFramePool& pool_;
};

class FrameArrivedDelegate final : public AgileComObject<abi::IFramePoolEventHandler> {
 public:
  explicit FrameArrivedDelegate(FrameArrivedHandler handler) : handler_(std::move(handler)) {}

  HRESULT STDMETHODCALLTYPE Invoke(abi::IDirect3D11CaptureFramePool* sender,
                                   IInspectable* /*args*/) override {
    if (sender == nullptr) return S_OK;
    try {
      PoolFrameSource source(*sender);
      handler_(source);
    } catch (...) {
      // Nothing may leave a system thread's handler.
    }
    return S_OK;
  }

 private:
  const FrameArrivedHandler handler_;
};

class Win32CaptureSession final : public CaptureSession {
 public:
  Win32CaptureSession(wrl::ComPtr<IDirect3DDevice> device,
                      wrl::ComPtr<abi::IDirect3D11CaptureFramePool> pool,
                      wrl::ComPtr<IGraphicsCaptureSession> session)
      : device_(std::move(device)), pool_(std::move(pool)), session_(std::move(session)) {}
  Win32CaptureSession(const Win32CaptureSession&) = delete;
  Win32CaptureSession& operator=(const Win32CaptureSession&) = delete;
  ~Win32CaptureSession() override {
    try {
      RemoveFrameArrived();
    } catch (...) {
      // The pool goes with this object; a handler left on it is released with it.
    }
    try {
      Close();
    } catch (...) {
      // Releasing the objects ends the capture all the same.
    }
  }

  void AddFrameArrived(FrameArrivedHandler handler) override {
    RemoveFrameArrived();
    const auto delegate = MakeComObject<FrameArrivedDelegate>(std::move(handler));
    EventRegistrationToken token{};
    Check(pool_->add_FrameArrived(delegate.Get(), &token));
    frameArrived_ = token;
  }

  void RemoveFrameArrived() override {
    if (!frameArrived_) return;
    const EventRegistrationToken token = *std::exchange(frameArrived_, std::nullopt);
    Check(pool_->remove_FrameArrived(token));
  }

  void StartCapture() override { Check(session_->StartCapture()); }

  void Close() override {
    if (std::exchange(closed_, true)) return;
    const HRESULT sessionClosed = CloseObject(session_.Get());
    const HRESULT poolClosed = CloseObject(pool_.Get());
    Check(sessionClosed);
    Check(poolClosed);
  }

 private:
  wrl::ComPtr<IDirect3DDevice> device_;
  wrl::ComPtr<abi::IDirect3D11CaptureFramePool> pool_;
  wrl::ComPtr<IGraphicsCaptureSession> session_;
  std::optional<EventRegistrationToken> frameArrived_;
  bool closed_ = false;
};

wrl::ComPtr<ID3D11Device> CreateD3DDevice() {
  wrl::ComPtr<ID3D11Device> device;
  const auto create = [&device](D3D_DRIVER_TYPE driver) {
    return D3D11CreateDevice(nullptr, driver, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                             D3D11_SDK_VERSION, device.ReleaseAndGetAddressOf(), nullptr, nullptr);
  };
  if (SUCCEEDED(create(D3D_DRIVER_TYPE_HARDWARE))) return device;
  Check(create(D3D_DRIVER_TYPE_WARP));
  return device;
}

class Win32CaptureItem final : public CaptureItem {
 public:
  explicit Win32CaptureItem(wrl::ComPtr<abi::IGraphicsCaptureItem> item) : item_(std::move(item)) {}

  PixelSize Size() override {
    abi::SizeInt32 size{};
    Check(item_->get_Size(&size));
    return PixelSize{size.Width, size.Height};
  }

  std::unique_ptr<CaptureSession> OpenSession() override {
    const wrl::ComPtr<ID3D11Device> d3dDevice = CreateD3DDevice();
    wrl::ComPtr<IDXGIDevice> dxgiDevice;
    Check(d3dDevice.As(&dxgiDevice));
    wrl::ComPtr<IInspectable> graphicsDevice;
    Check(CreateDirect3D11DeviceFromDXGIDevice(dxgiDevice.Get(), &graphicsDevice));
    wrl::ComPtr<IDirect3DDevice> device;
    Check(graphicsDevice.As(&device));

    const auto statics = GetActivationFactory<abi::IDirect3D11CaptureFramePoolStatics2>(
        L"Windows.Graphics.Capture.Direct3D11CaptureFramePool");
    abi::SizeInt32 size{};
    Check(item_->get_Size(&size));
    wrl::ComPtr<abi::IDirect3D11CaptureFramePool> pool;
    Check(statics->CreateFreeThreaded(
        device.Get(), ABI::Windows::Graphics::DirectX::DirectXPixelFormat_B8G8R8A8UIntNormalized, 1,
        size, &pool));
    wrl::ComPtr<IGraphicsCaptureSession> session;
    const HRESULT created = pool->CreateCaptureSession(item_.Get(), &session);
    if (FAILED(created)) {
      CloseObject(pool.Get());
      Check(created);
    }
    // Older systems have no cursor switch; the capture goes on with the cursor.
    wrl::ComPtr<abi::IGraphicsCaptureSession2> cursorSwitch;
    if (SUCCEEDED(session.As(&cursorSwitch))) cursorSwitch->put_IsCursorCaptureEnabled(false);
    return std::make_unique<Win32CaptureSession>(std::move(device), std::move(pool),
                                                 std::move(session));
  }

 private:
  wrl::ComPtr<abi::IGraphicsCaptureItem> item_;
};

// An encoded image in a memory stream.
class Win32EncodedImage final : public EncodedImage {
 public:
  explicit Win32EncodedImage(wrl::ComPtr<IStream> stream) : stream_(std::move(stream)) {}

  std::uint64_t Size() override {
    STATSTG status{};
    Check(stream_->Stat(&status, STATFLAG_NONAME));
    return status.cbSize.QuadPart;
  }

  std::vector<std::uint8_t> ReadBytes() override {
    const std::uint64_t size = Size();
    if (size > std::numeric_limits<std::size_t>::max()) throw PlatformError{E_OUTOFMEMORY};
    LARGE_INTEGER start{};
    Check(stream_->Seek(start, STREAM_SEEK_SET, nullptr));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::size_t filled = 0;
    while (filled < bytes.size()) {
      const auto chunk = static_cast<ULONG>(
          std::min<std::size_t>(bytes.size() - filled, std::numeric_limits<ULONG>::max()));
      ULONG read = 0;
      Check(stream_->Read(bytes.data() + filled, chunk, &read));
      if (read == 0) throw PlatformError{HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)};
      filled += read;
    }
    return bytes;
  }

 private:
  wrl::ComPtr<IStream> stream_;
};

void SetJpegQuality(IPropertyBag2& options, float quality) {
  PROPBAG2 name{};
  name.pstrName = const_cast<LPOLESTR>(L"ImageQuality");
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_R4;
  value.fltVal = quality;
  Check(options.Write(1, &name, &value));
}

}  // namespace

Win32Bitmap::Win32Bitmap(std::int32_t width, std::int32_t height,
                         std::vector<std::uint8_t> bgraPixels)
    : width_(width), height_(height), pixels_(std::move(bgraPixels)) {
  const bool sized =
      width > 0 && height > 0 &&
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * kBytesPerPixel ==
          pixels_.size() &&
      pixels_.size() <= std::numeric_limits<UINT>::max();
  if (!sized) throw PlatformError{E_INVALIDARG};
}

Win32Bitmap::Win32Bitmap(imaging::ISoftwareBitmap& softwareBitmap) {
  imaging::BitmapPixelFormat format{};
  Check(softwareBitmap.get_BitmapPixelFormat(&format));
  if (format != imaging::BitmapPixelFormat_Bgra8) {
    throw PlatformError{WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT};
  }
  Check(softwareBitmap.get_PixelWidth(&width_));
  Check(softwareBitmap.get_PixelHeight(&height_));
  if (width_ <= 0 || height_ <= 0) throw PlatformError{E_UNEXPECTED};
  const std::size_t rowBytes = static_cast<std::size_t>(width_) * kBytesPerPixel;
  pixels_.resize(rowBytes * static_cast<std::size_t>(height_));
  VisitRows(softwareBitmap, imaging::BitmapBufferAccessMode_Read, width_, height_,
            [&](const BYTE* row, std::int32_t index) {
              std::memcpy(pixels_.data() + rowBytes * static_cast<std::size_t>(index), row,
                          rowBytes);
            });
  softwareBitmap_ = &softwareBitmap;
}

Win32Bitmap::~Win32Bitmap() = default;

imaging::ISoftwareBitmap* Win32Bitmap::SoftwareBitmap() const {
  return softwareBitmap_.Get();
}

bool Win32CaptureApi::IsCaptureSupported() {
  wrl::ComPtr<IGraphicsCaptureSessionStatics> statics;
  if (FAILED(
          TryGetActivationFactory(L"Windows.Graphics.Capture.GraphicsCaptureSession", statics))) {
    return false;
  }
  boolean supported = false;
  return SUCCEEDED(statics->IsSupported(&supported)) && supported;
}

std::unique_ptr<CaptureItem> Win32CaptureApi::CreateItemForWindow(WindowHandle window) {
  const auto interop = GetActivationFactory<abi::IGraphicsCaptureItemInterop>(
      L"Windows.Graphics.Capture.GraphicsCaptureItem");
  wrl::ComPtr<abi::IGraphicsCaptureItem> item;
  Check(interop->CreateForWindow(ToHwnd(window), __uuidof(abi::IGraphicsCaptureItem), &item));
  if (!item) throw PlatformError{E_POINTER};
  return std::make_unique<Win32CaptureItem>(std::move(item));
}

std::unique_ptr<EncodedImage> Win32CaptureApi::Encode(Bitmap& bitmap, std::uint32_t width,
                                                      std::uint32_t height, bool png,
                                                      float quality) {
  const auto& source = static_cast<const Win32Bitmap&>(bitmap);
  wrl::ComPtr<IWICImagingFactory> factory;
  Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                         __uuidof(IWICImagingFactory), &factory));
  const std::vector<std::uint8_t>& pixels = source.BgraPixels();
  wrl::ComPtr<IWICBitmap> original;
  // The factory copies the pixels; it never writes through the pointer.
  Check(factory->CreateBitmapFromMemory(
      static_cast<UINT>(source.Width()), static_cast<UINT>(source.Height()),
      GUID_WICPixelFormat32bppBGRA, static_cast<UINT>(source.Width() * kBytesPerPixel),
      static_cast<UINT>(pixels.size()), const_cast<BYTE*>(pixels.data()), &original));
  wrl::ComPtr<IWICBitmapScaler> scaler;
  Check(factory->CreateBitmapScaler(&scaler));
  Check(scaler->Initialize(original.Get(), width, height, WICBitmapInterpolationModeFant));

  wrl::ComPtr<IStream> stream;
  Check(CreateStreamOnHGlobal(nullptr, TRUE, &stream));
  wrl::ComPtr<IWICBitmapEncoder> encoder;
  Check(factory->CreateEncoder(png ? GUID_ContainerFormatPng : GUID_ContainerFormatJpeg, nullptr,
                               &encoder));
  Check(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache));
  wrl::ComPtr<IWICBitmapFrameEncode> frame;
  wrl::ComPtr<IPropertyBag2> options;
  Check(encoder->CreateNewFrame(&frame, &options));
  if (!png) SetJpegQuality(*options.Get(), quality);
  Check(frame->Initialize(options.Get()));
  Check(frame->SetSize(width, height));
  // The encoder answers with the nearest format it writes; JPEG has no alpha.
  WICPixelFormatGUID format = png ? GUID_WICPixelFormat32bppBGRA : GUID_WICPixelFormat24bppBGR;
  Check(frame->SetPixelFormat(&format));
  wrl::ComPtr<IWICBitmapSource> scaled;
  Check(scaler.As(&scaled));
  if (!IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA)) {
    wrl::ComPtr<IWICFormatConverter> converter;
    Check(factory->CreateFormatConverter(&converter));
    Check(converter->Initialize(scaled.Get(), format, WICBitmapDitherTypeNone, nullptr, 0.0,
                                WICBitmapPaletteTypeCustom));
    Check(converter.As(&scaled));
  }
  Check(frame->WriteSource(scaled.Get(), nullptr));
  Check(frame->Commit());
  Check(encoder->Commit());
  return std::make_unique<Win32EncodedImage>(std::move(stream));
}

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
