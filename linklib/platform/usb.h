// USB devices of the handheld: interfaces found by their identifier, device and pipe handles, device
// control, reads and writes.  Only this layer touches the operating system for USB.
//
// On Linux the handheld's USB drivers are reached through a driver stand-in over Unix domain sockets
// (the simulated handheld serves them; a bridge to a real device could do the same):
//
// USB stand-in protocol
// ---------------------
// Layout: the folder named by the variable TARVIX_USB_DIR holds one stream socket per present
// interface, named after the interface identifier in its text form with braces, upper case, e.g.
// "{5D490A5E-5B66-4A7C-BC31-C75DBC07B407}", optionally followed by "#" and an instance number when
// one identifier has several interfaces ("{...}#2").  Interfaces of one identifier are enumerated in
// the order of their names.  The device path of an interface is the socket's path; a pipe of it is
// the device path + "\" + the pipe name ("...\PIPE02").  Without TARVIX_USB_DIR, or with a folder
// that holds no such socket, no interface is present.
//
// Each open handle is one connection to the interface's socket.  Every message, either way, is a
// 16-byte header of four little-endian 32-bit words followed by `length` payload bytes:
//     kind, code, length (at most 65536), count
// Requests of the PC, each answered by exactly one reply of kind (request kind | 0x80):
//     1 open     payload: the pipe name, empty for the device itself
//                reply: code = status
//     2 control  code: the control code; count: the room for output; payload: the input bytes
//                reply: code = status; payload: the output (at most the room); count = its size
//     3 write    payload: the bytes
//                reply: code = status; count = the bytes taken
//     4 read     count: the bytes wanted
//                reply: code = status; payload: the bytes read (at most those wanted)
// Inputs that name memory on the other platform carry it inline instead: the byte-frame transfer
// request (control 0x80002010) is its 16-byte record followed by the 6-byte transfer descriptor, and
// the record's address word holds the descriptor's offset in the input, 16.
// Status: 0 done, 5 access denied, 31 general failure (a request the driver refuses), 1167 device not
// connected; any other value is some other failure.  The driver answers a read once it has bytes
// for it; the PC waits for every reply with a deadline of its own and closes the connection when it
// gives up.  A connection that the driver closes, or a socket that cannot be reached, is a device
// that is gone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarvix::platform::usb {

// Error codes of the operations, as the handheld's drivers report them.
enum Error : uint32_t {
    kOk = 0,
    kFileNotFound = 2,
    kAccessDenied = 5,
    kGenFailure = 31,
    kDeviceNotConnected = 1167,
    kTimeout = 1460,
    kOtherFailure = 0xFFFF,
};

// Device paths of the present interfaces of `guid` (text form with braces, any case), in index order.
std::vector<std::string> FindInterfaces(const std::string& guid);

// The longest wait for one reply of the driver (a read included) when the caller gives none.
void SetReplyTimeoutMs(uint32_t ms);
uint32_t ReplyTimeoutMs();

class Handle {
  public:
    virtual ~Handle() = default;
    // Device control: input bytes in, at most `out_size` bytes out; `returned` gets the output size.
    virtual bool Control(uint32_t code, const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size,
                         uint32_t* returned) = 0;
    // One write; `written` gets the bytes the driver took.
    virtual bool Write(const uint8_t* data, size_t size, size_t* written) = 0;
    // One read of at most `size` bytes; waits up to `timeout_ms` (0: the reply time-out) and ends
    // early when *stop becomes true.
    virtual bool Read(uint8_t* buffer, size_t size, size_t* read, uint32_t timeout_ms = 0,
                      const std::atomic<bool>* stop = nullptr) = 0;
    // The error of the last failed operation.
    virtual uint32_t LastError() const = 0;
};

// Windows only: memory whose whole extent lies below 4 GB, where a 32-bit address word of a driver
// request can name it also in a 64-bit process; null when none is free there.  FreeLowMemory gives
// it back.
void* AllocateLowMemory(size_t size);
void FreeLowMemory(void* block);

// Opens a device path or a pipe path (device path + "\" + pipe name).  Null with *error set when it
// cannot be opened.
std::unique_ptr<Handle> Open(const std::string& path, uint32_t* error = nullptr);

}  // namespace tarvix::platform::usb
