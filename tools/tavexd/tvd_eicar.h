// The standard antivirus test string, assembled at run time from pieces so
// that no source file, object or binary holds it whole and trips a scanner.
// Header-only so that the tests build the same bytes without linking tavexd.
#ifndef TVD_EICAR_H
#define TVD_EICAR_H

#include <string>

inline std::string tvd_eicar()
{
    static const char *const pieces[] = {
        "X5O!P%@AP", "[4\\PZX54(P^)", "7CC)7}$", "EIC", "AR-STAND", "ARD-ANTIVI", "RUS-TEST-FILE!$H+H*",
    };
    std::string s;
    for (const char *p : pieces)
        s += p;
    return s;
}

#endif
