// See container_document.h.
#include "container_document.h"

#include <mshtml.h>
#include <stddef.h>

typedef struct {
    IOleContainer container;
    IHTMLDocument2 document;
    LONG refs;
    BSTR url;
} ContainerDocument;

static ContainerDocument* FromContainer(IOleContainer* container) {
    return (ContainerDocument*)((char*)container - offsetof(ContainerDocument, container));
}

static ContainerDocument* FromDocument(IHTMLDocument2* document) {
    return (ContainerDocument*)((char*)document - offsetof(ContainerDocument, document));
}

static HRESULT QueryInterfaceOf(ContainerDocument* self, REFIID iid, void** object) {
    *object = NULL;
    if (IsEqualIID(iid, &IID_IUnknown) || IsEqualIID(iid, &IID_IParseDisplayName) ||
        IsEqualIID(iid, &IID_IOleContainer))
        *object = &self->container;
    else if (IsEqualIID(iid, &IID_IDispatch) || IsEqualIID(iid, &IID_IHTMLDocument) ||
             IsEqualIID(iid, &IID_IHTMLDocument2))
        *object = &self->document;
    if (*object == NULL) return E_NOINTERFACE;
    InterlockedIncrement(&self->refs);
    return S_OK;
}

static ULONG ReleaseOf(ContainerDocument* self) {
    const LONG refs = InterlockedDecrement(&self->refs);
    if (refs == 0) {
        SysFreeString(self->url);
        HeapFree(GetProcessHeap(), 0, self);
    }
    return (ULONG)refs;
}

static HRESULT STDMETHODCALLTYPE ContainerQueryInterface(IOleContainer* c, REFIID iid, void** object) {
    return QueryInterfaceOf(FromContainer(c), iid, object);
}
static ULONG STDMETHODCALLTYPE ContainerAddRef(IOleContainer* c) {
    return (ULONG)InterlockedIncrement(&FromContainer(c)->refs);
}
static ULONG STDMETHODCALLTYPE ContainerRelease(IOleContainer* c) {
    return ReleaseOf(FromContainer(c));
}

static HRESULT STDMETHODCALLTYPE DocumentQueryInterface(IHTMLDocument2* d, REFIID iid, void** object) {
    return QueryInterfaceOf(FromDocument(d), iid, object);
}
static ULONG STDMETHODCALLTYPE DocumentAddRef(IHTMLDocument2* d) {
    return (ULONG)InterlockedIncrement(&FromDocument(d)->refs);
}
static ULONG STDMETHODCALLTYPE DocumentRelease(IHTMLDocument2* d) {
    return ReleaseOf(FromDocument(d));
}
static HRESULT STDMETHODCALLTYPE DocumentGetUrl(IHTMLDocument2* d, BSTR* url) {
    const BSTR own = FromDocument(d)->url;
    *url = SysAllocStringLen(own, SysStringLen(own));
    return *url != NULL ? S_OK : E_OUTOFMEMORY;
}

static IOleContainerVtbl containerVtbl = {
    .QueryInterface = ContainerQueryInterface,
    .AddRef = ContainerAddRef,
    .Release = ContainerRelease,
};

static IHTMLDocument2Vtbl documentVtbl = {
    .QueryInterface = DocumentQueryInterface,
    .AddRef = DocumentAddRef,
    .Release = DocumentRelease,
    .get_URL = DocumentGetUrl,
};

IUnknown* CreateContainerDocument(const wchar_t* url, UINT length) {
    ContainerDocument* self = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*self));
    if (self == NULL) return NULL;
    self->container.lpVtbl = &containerVtbl;
    self->document.lpVtbl = &documentVtbl;
    self->refs = 1;
    self->url = SysAllocStringLen(url, length);
    return (IUnknown*)&self->container;
}
