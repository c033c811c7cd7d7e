// The transport's hot-plug listener: told on the notification thread when a connection opens
// (attach) or goes (detach), with the connection's serial text.
#ifndef XOL_TOLVANE_WD_CALLBACK_H
#define XOL_TOLVANE_WD_CALLBACK_H

#include <string>

class ITolvaneWdAPICallbackObj {
public:
    virtual void attach(std::string serial) = 0;
    virtual void detach(std::string serial) = 0;

protected:
    ~ITolvaneWdAPICallbackObj() = default;
};

#endif
