// Where an interface operation turns the exceptions of its work into a status and a message.
#ifndef XOL_OPERATION_BOUNDARY_H
#define XOL_OPERATION_BOUNDARY_H

#include <exception>

#include "exceptions.h"
#include "vemoapi.h"

inline void setMessage(_error_msg_t* msg, const char* text)
{
    if (msg != nullptr)
        copyMessage(msg->text, text, sizeof msg->text);
}

// Runs body; 0 and "Success", the exception's code and text, or 0x30000 and the text of any other
// standard exception.
template <class Body>
unsigned long runOperation(_error_msg_t* msg, Body&& body)
{
    try {
        body();
        setMessage(msg, "Success");
        return 0;
    } catch (VemoException const& e) {
        setMessage(msg, e.what());
        return e.getErrorCode();
    } catch (std::exception const& e) {
        setMessage(msg, e.what());
        return 0x30000;
    }
}

#endif
