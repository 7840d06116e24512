// What differs between the deliverables' control classes: identifiers,
// names, size and status. The control object and the library's class
// object and registration read it.
#pragma once

#include <windows.h>
#include <oleidl.h>

#include "errors.h"

namespace core {

struct ControlClass {
    const CLSID* clsid;
    const IID* dispatchIid;  // the dual interface _lumtag
    const IID* eventsIid;    // the events dispinterface __lumtag
    const GUID* libid;
    const wchar_t* progId;  // e.g. "Tessmer.lumtag"
    SIZEL initialSizeTwips;
    DWORD miscStatus;

    // Where a failure of the class's members and activation comes from.
    ErrorSource ErrorSourceOf() const noexcept { return {dispatchIid, progId}; }
};

// OLE status bits of both controls: recompose on resize, can't link inside,
// inside-out, activate when visible, set the client site first. The number
// is also the registered MiscStatus (registration.h), which the installer
// package reads from this line.
constexpr DWORD kControlMiscStatus = 0x20191;
static_assert(kControlMiscStatus == (OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                                     OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST));

}  // namespace core
