#include "quillet/Quillet.h"

#ifndef QUILLET_VERSION_STRING
#define QUILLET_VERSION_STRING "0.0.0"
#endif

const char* QuilletVersion() {
    return QUILLET_VERSION_STRING;
}

const char* TmStatusName(int status) {
    switch (status) {
    case TM_ERR_NO_MEMORY:
        return "TM_ERR_NO_MEMORY";
    case TM_ERR_PORT_OPEN:
        return "TM_ERR_PORT_OPEN";
    case TM_ERR_WRITE:
        return "TM_ERR_WRITE";
    case TM_ERR_CID_MISMATCH:
        return "TM_ERR_CID_MISMATCH";
    case TM_ERR_UNEXPECTED:
        return "TM_ERR_UNEXPECTED";
    case TM_ERR_TIMEOUT:
        return "TM_ERR_TIMEOUT";
    case TM_ERR_CHECKSUM:
        return "TM_ERR_CHECKSUM";
    default:
        return nullptr;
    }
}
