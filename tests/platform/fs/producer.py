"""An outside program that adds lines to a queue file the way producers do: open, append, close,
without any lock (unless told to take the side lock).

  append PATH COUNT TAG [MS]   COUNT lines "P<TAG>-<n>", each with its own open/append/close,
                               with a pause of MS milliseconds after each (spreads them out)
  hold PATH TRIGGER LINE       open PATH for appending, print "open", wait until TRIGGER exists,
                               then write LINE + CR LF and close; print "done"
  flock LOCK TRIGGER PATH LINE take flock(LOCK), print "locked", wait for TRIGGER, append LINE to
                               PATH, release; print "done"
  holdlock LOCK                take flock(LOCK), print "locked", keep it until killed
"""
import fcntl
import os
import sys
import time


def wait_for(path):
    while not os.path.exists(path):
        time.sleep(0.001)


def main():
    mode = sys.argv[1]
    if mode == "append":
        path, count, tag = sys.argv[2], int(sys.argv[3]), sys.argv[4]
        pause = float(sys.argv[5]) / 1000.0 if len(sys.argv) > 5 else 0.0
        for n in range(count):
            with open(path, "a", newline="") as f:
                f.write("P%s-%06d\r\n" % (tag, n))
            if pause:
                time.sleep(pause)
    elif mode == "hold":
        path, trigger, line = sys.argv[2:5]
        f = open(path, "a", newline="")
        print("open", flush=True)
        wait_for(trigger)
        f.write(line + "\r\n")
        f.close()
    elif mode == "flock":
        lock, trigger, path, line = sys.argv[2:6]
        fd = os.open(lock, os.O_RDWR | os.O_CREAT, 0o666)
        fcntl.flock(fd, fcntl.LOCK_EX)
        print("locked", flush=True)
        wait_for(trigger)
        with open(path, "a", newline="") as f:
            f.write(line + "\r\n")
        fcntl.flock(fd, fcntl.LOCK_UN)
    elif mode == "holdlock":
        fd = os.open(sys.argv[2], os.O_RDWR | os.O_CREAT, 0o666)
        fcntl.flock(fd, fcntl.LOCK_EX)
        print("locked", flush=True)
        while True:
            time.sleep(60)
    print("done", flush=True)


if __name__ == "__main__":
    main()
