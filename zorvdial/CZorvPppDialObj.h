// PPP dial-up through the Remote Access Service: one dial object whose
// connection handle is shared by every object of the class in the process.
#ifndef CZORVPPPDIALOBJ_H
#define CZORVPPPDIALOBJ_H

#if defined(_WIN32)
#if defined(ZORVDIAL_BUILD)
#define ZORVDIAL_API __declspec(dllexport)
#else
#define ZORVDIAL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define ZORVDIAL_API __attribute__((visibility("default")))
#else
#define ZORVDIAL_API
#endif

class ZORVDIAL_API CZorvPppDialObj
{
public:
    CZorvPppDialObj();
    ~CZorvPppDialObj();
    CZorvPppDialObj &operator=(const CZorvPppDialObj &);

    // Starts an asynchronous dial of "*99***1#". notifier is a RasDialFunc
    // (notifier type 0), handed to RAS untouched. True when RAS accepted.
    // A connection still held from an earlier dial is hung up first; a
    // refused dial holds nothing afterwards.
    bool dialUp(void *notifier);
    // The same dial through a named entry: the RAS phonebook entry on
    // Windows, the pppd peer file (/etc/ppp/peers/<name>) elsewhere, so
    // that each modem of the PC is dialled through its own. Null or empty:
    // as dialUp(notifier).
    bool dialUp(void *notifier, const char *entryName);
    // -1 without a connection, 1 when connected, 0 otherwise.
    int GetConnectStatus();
    // Hangs up the held connection, if any. Always true.
    bool hangUp();

    // The RAS error code with which RAS refused the last dialUp in this
    // process; 0 when it took the dial.
    unsigned int lastRefusal() const;
    // RAS's text for a RAS error code into the caller's buffer, cut to fit
    // and always terminated. False, with an empty text, when RAS has none.
    bool errorText(unsigned int code, char *buffer, unsigned int size) const;
    // What the last dialUp did besides dialling, one line per line feed
    // (where pppd dials: a pppd left running by a killed run, ended), into
    // the caller's buffer, cut to fit and always terminated. False, with an
    // empty text, when there is nothing to tell.
    bool dialNotice(char *buffer, unsigned int size) const;
    // The network interface of the held connection (where pppd dials: its
    // "ppp1"), into the caller's buffer. False, with an empty text, when
    // none is known (no connection, the virtual bench, Windows) or it does
    // not fit. Gone with the connection at hangUp.
    bool linkInterface(char *buffer, unsigned int size) const;
};

#endif // CZORVPPPDIALOBJ_H
