// What the capture, encoding and text recognition files share: the activation of Windows
// Runtime classes, agile COM objects for their callbacks, waiting on asynchronous operations and
// row access to system bitmaps. Private to the backend.
#pragma once

#include <inspectable.h>
#include <windows.foundation.h>
#include <windows.graphics.imaging.h>
#include <winstring.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <utility>

#include "common/platform_error.h"
#include "platform/win32/win32_api.h"

// Not declared by the mingw headers; as the Windows SDK declares it.
namespace velmora::computer_use::platform::win32::abi {

struct IMemoryBufferByteAccess : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** value, UINT32* capacity) = 0;
};

}  // namespace velmora::computer_use::platform::win32::abi

__CRT_UUID_DECL(velmora::computer_use::platform::win32::abi::IMemoryBufferByteAccess, 0x5b0d3235,
                0x4dba, 0x4d44, 0x86, 0x5e, 0x8f, 0x1d, 0x0e, 0x4f, 0xd0, 0x4d)

namespace velmora::computer_use::platform::win32 {

namespace wrl = Microsoft::WRL;
namespace imaging = ABI::Windows::Graphics::Imaging;

inline constexpr std::int32_t kBytesPerPixel = 4;

inline void Check(HRESULT result) {
  if (FAILED(result)) throw PlatformError{static_cast<std::int32_t>(result)};
}

inline HRESULT LastErrorResult() {
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

}  // namespace velmora::computer_use::platform::win32
