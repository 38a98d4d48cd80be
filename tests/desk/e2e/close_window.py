#!/usr/bin/python3
# Asks an X window to close as a window manager does for its close button or Alt+F4: the client
# message WM_DELETE_WINDOW of the window's WM_PROTOCOLS.
#   close_window.py WINDOW_ID      (DISPLAY names the X server)
import sys

from Xlib import X, display, protocol


def main():
    d = display.Display()
    window = d.create_resource_object("window", int(sys.argv[1], 0))
    protocols = d.intern_atom("WM_PROTOCOLS")
    delete = d.intern_atom("WM_DELETE_WINDOW")
    event = protocol.event.ClientMessage(
        window=window, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0])
    )
    window.send_event(event, event_mask=X.NoEventMask)
    # A round trip: the server has taken the request before the connection goes.
    d.sync()
    d.close()


if __name__ == "__main__":
    main()
