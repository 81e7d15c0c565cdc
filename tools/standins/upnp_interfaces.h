#pragma once

// The UPnP control-point interfaces as the Windows SDK's upnp.h declares them, transcribed
// here on their own: the stand-in must not share the product's declarations, so that a
// wrong interface ID or method order on either side shows up as a failed lookup.

#include <windows.h>

#include <oaidl.h>

namespace zorva_standin {

struct IUPnPDevices;
struct IUPnPServices;

// {E2085F28-FEB7-404A-B8E7-E659BDEAAA02}
inline const CLSID kClsidUPnPDeviceFinder = {
    0xE2085F28, 0xFEB7, 0x404A, {0xB8, 0xE7, 0xE6, 0x59, 0xBD, 0xEA, 0xAA, 0x02}};

class UPnPDevice;

// IUPnPDeviceFinder : IDispatch, methods in vtable order.
class UPnPDeviceFinder : public IDispatch {
public:
    virtual HRESULT STDMETHODCALLTYPE FindByType(BSTR bstrTypeURI, DWORD dwFlags, IUPnPDevices** pDevices) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAsyncFind(BSTR bstrTypeURI, DWORD dwFlags, IUnknown* punkDeviceFinderCallback,
                                                      LONG* plFindData) = 0;
    virtual HRESULT STDMETHODCALLTYPE StartAsyncFind(LONG lFindData) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelAsyncFind(LONG lFindData) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindByUDN(BSTR bstrUDN, UPnPDevice** pDevice) = 0;
};

// IUPnPDevice : IDispatch, methods in vtable order.
class UPnPDevice : public IDispatch {
public:
    virtual HRESULT STDMETHODCALLTYPE get_IsRootDevice(VARIANT_BOOL* pvarb) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RootDevice(UPnPDevice** ppudRootDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ParentDevice(UPnPDevice** ppudDeviceParent) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HasChildren(VARIANT_BOOL* pvarb) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Children(IUPnPDevices** ppudChildren) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UniqueDeviceName(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FriendlyName(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Type(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PresentationURL(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ManufacturerName(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ManufacturerURL(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ModelName(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ModelNumber(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ModelURL(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UPC(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SerialNumber(BSTR* pbstr) = 0;
    virtual HRESULT STDMETHODCALLTYPE IconURL(BSTR bstrEncodingFormat, LONG lSizeX, LONG lSizeY, LONG lBitDepth,
                                              BSTR* pbstrIconURL) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Services(IUPnPServices** ppusServices) = 0;
};

// IUPnPDeviceDocumentAccess : IUnknown.
class UPnPDeviceDocumentAccess : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetDocumentURL(BSTR* pbstrDocument) = 0;
};

}  // namespace zorva_standin

// {ADDA3D55-6F72-4319-BFF9-18600A539B10}
__CRT_UUID_DECL(zorva_standin::UPnPDeviceFinder, 0xADDA3D55, 0x6F72, 0x4319, 0xBF, 0xF9, 0x18, 0x60, 0x0A, 0x53,
                0x9B, 0x10)
// {3D44D0D1-98C9-4889-ACD1-F9D674BF2221}
__CRT_UUID_DECL(zorva_standin::UPnPDevice, 0x3D44D0D1, 0x98C9, 0x4889, 0xAC, 0xD1, 0xF9, 0xD6, 0x74, 0xBF, 0x22, 0x21)
// {E7772804-3287-418E-9072-CF2B47238981}
__CRT_UUID_DECL(zorva_standin::UPnPDeviceDocumentAccess, 0xE7772804, 0x3287, 0x418E, 0x90, 0x72, 0xCF, 0x2B, 0x47,
                0x23, 0x89, 0x81)
