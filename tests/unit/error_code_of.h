// The code of the ComError a call throws (S_OK when it throws none), and
// its description when asked for.
#pragma once

#include <functional>
#include <string>

#include "errors.h"

inline HRESULT ErrorCodeOf(const std::function<void()>& call, std::wstring* description = nullptr) {
    try {
        call();
    } catch (const core::ComError& error) {
        if (description != nullptr) *description = error.Description();
        return error.Code();
    }
    return S_OK;
}
