// Where an interface operation turns the exceptions of its work into a status and a message.
#ifndef XOL_OPERATION_BOUNDARY_H
#define XOL_OPERATION_BOUNDARY_H

#include <exception>

#include "exceptions.h"
#include "secure_buffers.h"
#include "status_codes.h"
#include "vemoapi.h"

inline void setMessage(_error_msg_t* msg, const char* text)
{
    if (msg != nullptr)
        copyMessage(msg->text, text, sizeof msg->text);
}

// Runs body; success, the exception's code and text, or the general failure and the text of any
// other standard exception.
template <class Body>
unsigned long runOperation(_error_msg_t* msg, Body&& body)
{
    try {
        body();
        setMessage(msg, status::successText());
        return VEMO_SUCCESS;
    } catch (VemoException const& e) {
        setMessage(msg, e.what());
        return e.getErrorCode();
    } catch (std::exception const& e) {
        setMessage(msg, e.what());
        return VEMO_ERROR_GENERAL;
    }
}

#endif
