// A stream or clock time in 100 ns units.
#pragma once

#include <windows.h>
#include <strmif.h>

const LONGLONG MILLISECONDS = 1000;         // per second
const LONGLONG UNITS = 10000000;            // 100 ns units per second
const LONGLONG MAX_TIME = 0x7FFFFFFFFFFFFFFF;

class CRefTime {
public:
    REFERENCE_TIME m_time = 0;

    CRefTime() = default;
    explicit CRefTime(LONG msecs) : m_time(static_cast<REFERENCE_TIME>(msecs) * (UNITS / MILLISECONDS)) {}
    CRefTime(REFERENCE_TIME rt) : m_time(rt) {}

    operator REFERENCE_TIME() const { return m_time; }
    CRefTime &operator=(const REFERENCE_TIME &rt) {
        m_time = rt;
        return *this;
    }
    CRefTime &operator+=(const CRefTime &rt) {
        m_time += rt.m_time;
        return *this;
    }
    CRefTime &operator-=(const CRefTime &rt) {
        m_time -= rt.m_time;
        return *this;
    }
    LONG Millisecs() const { return static_cast<LONG>(m_time / (UNITS / MILLISECONDS)); }
    LONGLONG GetUnits() const { return m_time; }
};
