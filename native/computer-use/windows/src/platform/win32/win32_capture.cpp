// Window capture through Windows.Graphics.Capture: the item, its session and frame pool, and
// frames copied to bitmaps.
#include "platform/win32/win32_capture.h"

#include <d3d11.h>
#include <dxgi.h>
#include <windows.graphics.capture.h>
#include <windows.graphics.directx.direct3d11.h>

#include <cstring>
#include <limits>
#include <optional>

#include "platform/win32/win32_capture_internal.h"

// Exported by d3d11.dll; the mingw headers do not declare it.
extern "C" HRESULT WINAPI CreateDirect3D11DeviceFromDXGIDevice(IDXGIDevice* dxgiDevice,
                                                               IInspectable** graphicsDevice);

// The WinRT interfaces the mingw headers lack, as the Windows SDK declares them.
namespace velmora::computer_use::platform::win32::abi {

using ABI::Windows::Graphics::DirectX::DirectXPixelFormat;
using ABI::Windows::Graphics::DirectX::Direct3D11::IDirect3DDevice;
using ABI::Windows::Graphics::DirectX::Direct3D11::IDirect3DSurface;

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
#undef VELMORA_ABI

namespace velmora::computer_use::platform::win32 {
namespace {

using ABI::Windows::Foundation::IAsyncOperation;
using ABI::Windows::Foundation::IAsyncOperationCompletedHandler;
using ABI::Windows::Graphics::Capture::IGraphicsCaptureSession;
using ABI::Windows::Graphics::Capture::IGraphicsCaptureSessionStatics;
using ABI::Windows::Graphics::DirectX::Direct3D11::IDirect3DDevice;
using ABI::Windows::Graphics::DirectX::Direct3D11::IDirect3DSurface;

HRESULT CloseObject(IInspectable* object) {
  if (object == nullptr) return S_OK;
  wrl::ComPtr<ABI::Windows::Foundation::IClosable> closable;
  const HRESULT queried =
      object->QueryInterface(__uuidof(ABI::Windows::Foundation::IClosable), &closable);
  return FAILED(queried) ? queried : closable->Close();
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

}  // namespace velmora::computer_use::platform::win32
