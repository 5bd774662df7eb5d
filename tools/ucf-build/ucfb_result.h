// Result codes of ucf-build's steps and the exit status each one ends the
// program with. Names only; the step that fails says what went wrong.
#ifndef TVX_UCFB_RESULT_H
#define TVX_UCFB_RESULT_H

enum ucfb_rc {
    UCFB_OK = 0,
    UCFB_ERR_USAGE,      // the command line is wrong
    UCFB_ERR_IO,         // a file could not be read or written
    UCFB_ERR_EXISTS,     // a file that must be new is there already
    UCFB_ERR_KEY,        // a key file is malformed or its values make no key
    UCFB_ERR_CRYPTO,     // OpenSSL could not do what was asked
    UCFB_ERR_EMPTY,      // the inputs hold no entry
    UCFB_ERR_TOO_BIG,    // the result does not fit 32-bit offsets
    UCFB_ERR_LAYOUT,     // a category file's layout is broken
    UCFB_ERR_SIGNATURE,  // a category file's signature does not verify
};

// 0 on success, 2 for a wrong command line, 1 for every other failure.
inline int ucfb_exit_status(ucfb_rc rc) { return rc == UCFB_OK ? 0 : rc == UCFB_ERR_USAGE ? 2 : 1; }

#endif
