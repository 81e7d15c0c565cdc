#pragma once

// The UPnP control point interfaces of Windows (upnp.h), which mingw-w64 does not ship.
// Declared in the SDK's vtable order, each with its interface ID, which __uuidof names. They
// stay at namespace scope: GCC treats an interface in an anonymous namespace without an
// implementation in the same file as one no object can have, and turns calls through it
// into pure-virtual traps.

#include <windows.h>

#include <oaidl.h>

struct IUPnPDevices;
struct IUPnPServices;

inline constexpr CLSID CLSID_UPnPDeviceFinder = {
    0xe2085f28, 0xfeb7, 0x404a, {0xb8, 0xe7, 0xe6, 0x59, 0xbd, 0xea, 0xaa, 0x02}};

struct IUPnPDevice : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_IsRootDevice(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RootDevice(IUPnPDevice** device) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ParentDevice(IUPnPDevice** device) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HasChildren(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Children(IUPnPDevices** devices) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UniqueDeviceName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FriendlyName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Type(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PresentationURL(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ManufacturerName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ManufacturerURL(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ModelName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ModelNumber(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ModelURL(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UPC(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SerialNumber(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE IconURL(BSTR encodingFormat, LONG sizeX, LONG sizeY, LONG bitDepth,
                                              BSTR* iconUrl) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Services(IUPnPServices** services) = 0;
};
__CRT_UUID_DECL(IUPnPDevice, 0x3d44d0d1, 0x98c9, 0x4889, 0xac, 0xd1, 0xf9, 0xd6, 0x74, 0xbf, 0x22, 0x21)

struct IUPnPDeviceFinder : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE FindByType(BSTR typeUri, DWORD flags, IUPnPDevices** devices) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAsyncFind(BSTR typeUri, DWORD flags, IUnknown* callback,
                                                      LONG* findData) = 0;
    virtual HRESULT STDMETHODCALLTYPE StartAsyncFind(LONG findData) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelAsyncFind(LONG findData) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindByUDN(BSTR udn, IUPnPDevice** device) = 0;
};
__CRT_UUID_DECL(IUPnPDeviceFinder, 0xadda3d55, 0x6f72, 0x4319, 0xbf, 0xf9, 0x18, 0x60, 0x0a, 0x53, 0x9b, 0x10)

struct IUPnPDeviceDocumentAccess : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetDocumentURL(BSTR* documentUrl) = 0;
};
__CRT_UUID_DECL(IUPnPDeviceDocumentAccess, 0xe7772804, 0x3287, 0x418e, 0x90, 0x72, 0xcf, 0x2b, 0x47, 0x23,
                0x89, 0x81)
