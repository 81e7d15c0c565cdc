// Stand-in for the UPnP device finder that Wine lacks: an in-process COM server for
// CLSID_UPnPDeviceFinder. It answers FindByUDN from the table that a test writes into the
// prefix's registry, fails at the step the test names, records the UDN it was asked for,
// and counts its live objects so that a test can prove every reference was released.

#include "common/com_owners.h"
#include "standins/standin_keys.h"
#include "standins/upnp_interfaces.h"
#include "standins/standin_registry.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <initializer_list>
#include <new>
#include <string>

namespace zorva_standin {
namespace {

LONG g_liveObjects = 0;
LONG g_locks = 0;
HMODULE g_module = nullptr;

// Mirrors the count into the registry at each change, so that a test can read what a
// rundll32 process left behind after that process has ended.
void MirrorLiveObjects(LONG count)
{
    zorva::UniqueHkey key = CreateKey(kFinderKey);
    if (key) {
        SetDword(key.get(), kFinderLiveObjects, static_cast<DWORD>(count));
    }
}

void ObjectCreated() { MirrorLiveObjects(InterlockedIncrement(&g_liveObjects)); }
void ObjectDestroyed() { MirrorLiveObjects(InterlockedDecrement(&g_liveObjects)); }

std::wstring FailureMode()
{
    std::wstring mode;
    zorva::UniqueHkey key = OpenKey(kFinderKey);
    if (key) {
        GetString(key.get(), kFinderFail, mode);
    }
    return mode;
}

bool Failing(const wchar_t* step) { return FailureMode() == step; }

// The description URL registered for this exact UDN. Registry value names compare without
// case, so every name is read back and compared unit by unit.
bool LookUpDevice(const std::wstring& udn, std::wstring& url)
{
    zorva::UniqueHkey devices = OpenKey(kFinderDevicesKey);
    if (!devices) {
        return false;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = ARRAYSIZE(name);
        if (RegEnumValueW(devices.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return false;
        }
        if (udn == std::wstring(name, nameLength)) {
            return GetString(devices.get(), std::wstring(name, nameLength).c_str(), url);
        }
    }
}

// An out-parameter the stand-in does not fill: cleared, as COM callers may free it.
template <typename T>
HRESULT NotImplemented(T* value)
{
    if (value != nullptr) {
        *value = nullptr;
    }
    return E_NOTIMPL;
}

// The answer to a query for a value the stand-in does have.
template <typename T>
HRESULT Answer(T* out, T value)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = value;
    return S_OK;
}

// A BSTR copy of `text` for an out-parameter.
HRESULT AnswerCopy(BSTR* out, const std::wstring& text)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// QueryInterface of an object that has one interface: `self`, for IUnknown and `iids`.
template <typename Interface>
HRESULT QueryOne(Interface* self, REFIID iid, void** object, std::initializer_list<IID> iids)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) &&
        std::none_of(iids.begin(), iids.end(), [&iid](const IID& known) { return IsEqualIID(iid, known); })) {
        return E_NOINTERFACE;
    }
    *object = self;
    self->AddRef();
    return S_OK;
}

// IDispatch is part of both interfaces; nothing here is scriptable.
template <typename Interface>
class DispatchStub : public Interface {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (count != nullptr) {
            *count = 0;
        }
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override { return NotImplemented(info); }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
};

// One COM object of this DLL: its reference count, and its place among the live objects.
template <typename... Interfaces>
class CountedObject : public Interfaces... {
public:
    CountedObject() { ObjectCreated(); }
    virtual ~CountedObject() { ObjectDestroyed(); }
    CountedObject(const CountedObject&) = delete;
    CountedObject& operator=(const CountedObject&) = delete;

    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

private:
    LONG references_ = 1;
};

// One device; it also carries UPnPDeviceDocumentAccess, as the system's device does.
class Device final : public CountedObject<DispatchStub<UPnPDevice>, UPnPDeviceDocumentAccess> {
public:
    Device(std::wstring udn, std::wstring url) : udn_(std::move(udn)), url_(std::move(url)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, __uuidof(UPnPDevice))) {
            *object = static_cast<UPnPDevice*>(this);
        } else if (IsEqualIID(iid, __uuidof(UPnPDeviceDocumentAccess)) && !Failing(kFailNoDocumentAccess)) {
            *object = static_cast<UPnPDeviceDocumentAccess*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetDocumentURL(BSTR* documentUrl) override
    {
        if (documentUrl != nullptr && Failing(kFailNoUrl)) {
            *documentUrl = nullptr;
            return E_FAIL;
        }
        return AnswerCopy(documentUrl, url_);
    }

    HRESULT STDMETHODCALLTYPE get_UniqueDeviceName(BSTR* value) override { return AnswerCopy(value, udn_); }
    HRESULT STDMETHODCALLTYPE get_IsRootDevice(VARIANT_BOOL* value) override { return Answer(value, VARIANT_TRUE); }
    HRESULT STDMETHODCALLTYPE get_RootDevice(UPnPDevice** device) override { return NotImplemented(device); }
    HRESULT STDMETHODCALLTYPE get_ParentDevice(UPnPDevice** device) override { return NotImplemented(device); }
    HRESULT STDMETHODCALLTYPE get_HasChildren(VARIANT_BOOL* value) override { return Answer(value, VARIANT_FALSE); }
    HRESULT STDMETHODCALLTYPE get_Children(IUPnPDevices** devices) override { return NotImplemented(devices); }
    HRESULT STDMETHODCALLTYPE get_FriendlyName(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_Type(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_PresentationURL(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_ManufacturerName(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_ManufacturerURL(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_ModelName(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_ModelNumber(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_Description(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_ModelURL(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_UPC(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE get_SerialNumber(BSTR* value) override { return NotImplemented(value); }
    HRESULT STDMETHODCALLTYPE IconURL(BSTR, LONG, LONG, LONG, BSTR* iconUrl) override
    {
        return NotImplemented(iconUrl);
    }
    HRESULT STDMETHODCALLTYPE get_Services(IUPnPServices** services) override { return NotImplemented(services); }

private:
    std::wstring udn_;
    std::wstring url_;
};

class Finder final : public CountedObject<DispatchStub<UPnPDeviceFinder>> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryOne<UPnPDeviceFinder>(this, iid, object, {IID_IDispatch, __uuidof(UPnPDeviceFinder)});
    }

    HRESULT STDMETHODCALLTYPE FindByUDN(BSTR udn, UPnPDevice** device) override
    {
        if (device == nullptr) {
            return E_POINTER;
        }
        *device = nullptr;
        const std::wstring asked(udn != nullptr ? udn : L"", udn != nullptr ? SysStringLen(udn) : 0);
        {
            zorva::UniqueHkey key = CreateKey(kFinderKey);
            if (key) {
                SetString(key.get(), kFinderLastUdn, asked.data(), asked.size());
                SetDword(key.get(), kFinderFindCalls, GetDword(key.get(), kFinderFindCalls, 0) + 1);
            }
        }
        const std::wstring mode = FailureMode();
        if (mode == kFailFindByUdn) {
            return E_FAIL;
        }
        std::wstring url;
        // The system finder answers an unknown UDN with S_FALSE and no device.
        if (mode == kFailNotFound || !LookUpDevice(asked, url)) {
            return S_FALSE;
        }
        Device* found = new (std::nothrow) Device(asked, url);
        if (found == nullptr) {
            return E_OUTOFMEMORY;
        }
        *device = found;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE FindByType(BSTR, DWORD, IUPnPDevices** devices) override
    {
        return NotImplemented(devices);
    }
    HRESULT STDMETHODCALLTYPE CreateAsyncFind(BSTR, DWORD, IUnknown*, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartAsyncFind(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelAsyncFind(LONG) override { return E_NOTIMPL; }
};

class ClassFactory final : public CountedObject<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryOne<IClassFactory>(this, iid, object, {IID_IClassFactory});
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        IncrementDword(kFinderKey, kFinderCreated);
        // The new object's own reference goes with `finder`; the caller gets the one that
        // QueryInterface adds.
        zorva::ComPtr<Finder> finder;
        *finder.put() = new (std::nothrow) Finder();
        if (!finder) {
            return E_OUTOFMEMORY;
        }
        return finder->QueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        InterlockedExchangeAdd(&g_locks, lock ? 1 : -1);
        return S_OK;
    }
};

}  // namespace
}  // namespace zorva_standin

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        zorva_standin::g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

// The objects of this class alive in the calling process: finders, devices, factories.
LONG WINAPI StandinLiveObjects()
{
    return InterlockedCompareExchange(&zorva_standin::g_liveObjects, 0, 0);
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualCLSID(clsid, zorva_standin::kClsidUPnPDeviceFinder)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    // The last CoUninitialize of a process lets COM free this library; pinned, it stays
    // loaded, so a test can still read StandinLiveObjects after the lookup has ended.
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&StandinLiveObjects), &pinned);
    zorva::ComPtr<zorva_standin::ClassFactory> factory;
    *factory.put() = new (std::nothrow) zorva_standin::ClassFactory();
    if (!factory) {
        return E_OUTOFMEMORY;
    }
    return factory->QueryInterface(iid, object);
}

HRESULT WINAPI DllCanUnloadNow()
{
    return InterlockedCompareExchange(&zorva_standin::g_liveObjects, 0, 0) == 0 &&
                   InterlockedCompareExchange(&zorva_standin::g_locks, 0, 0) == 0
               ? S_OK
               : S_FALSE;
}
}
