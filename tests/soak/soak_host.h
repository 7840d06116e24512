// What the soak shares between its phases: calls on a control as a script
// host makes them, the process figures Wine reports, and the result table.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "scoped.h"

namespace soak {

// The outcome of one member call: the status, the description the script
// would read in Err.Description (from the EXCEPINFO), and the result.
struct Outcome {
    HRESULT hr = S_OK;
    std::wstring description;
    std::wstring text;  // the result as text ("" when it has none)

    bool Ok() const { return SUCCEEDED(hr); }
};

// Looks |name| up with GetIDsOfNames and invokes it, as a script does.
// |arguments| in the order of the member's parameters; they stay the caller's.
Outcome Call(IDispatch* control, const wchar_t* name, WORD flags, std::initializer_list<VARIANT> arguments = {});
inline Outcome Method(IDispatch* control, const wchar_t* name, std::initializer_list<VARIANT> arguments = {}) {
    return Call(control, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, arguments);
}
Outcome PutText(IDispatch* control, const wchar_t* name, const std::wstring& text);

// CLSIDFromProgID and CoCreateInstance: CreateObject in a script.
HRESULT CreateByProgId(const wchar_t* progId, IDispatch** control);

// Process figures that Wine reports.
struct ProcessFigures {
    uintptr_t lowestFreeHandle = 0;  // the value a new handle gets: leaked handles push it up
    SIZE_T workingSet = 0;
    SIZE_T peakPagefile = 0;  // peak private memory
    DWORD threads = 0;
};
ProcessFigures MeasureProcess();

// One row per measure: value, bound, ok or FAIL.
class Table {
public:
    void Add(std::string measure, std::string value, std::string bound, bool ok);
    // A count with an upper bound.
    void AtMost(std::string measure, long long value, long long most);
    // A count with a lower bound.
    void AtLeast(std::string measure, long long value, long long least);
    // Prints the table; true when every bound holds.
    bool Print() const;

private:
    struct Row {
        std::string measure, value, bound;
        bool ok;
    };
    std::vector<Row> rows_;
};

// Run settings: the seed of every random choice and the share of the full run.
struct Settings {
    uint64_t seed = 0;
    double scale = 1.0;
    // |full| scaled, never below |least|, so that a short run still reaches every path.
    int Scaled(int full, int least) const;
    // A generator of its own for each phase, so that phases do not shift one another's choices.
    std::mt19937_64 Random(unsigned phase) const { return std::mt19937_64(seed * 1000003u + phase); }
};

std::string Narrow(const std::wstring& text);
std::wstring Hex(HRESULT hr);

}  // namespace soak
