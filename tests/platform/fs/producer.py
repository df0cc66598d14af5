"""An outside program that adds lines to a queue file the way producers do: open, append, close,
without any lock (unless told to take the side lock).

  append PATH COUNT TAG [MS]   COUNT lines "P<TAG>-<n>", each with its own open/append/close,
                               with a pause of MS milliseconds after each (spreads them out)
  hold PATH TRIGGER LINE       open PATH for appending, print "open", wait until TRIGGER exists,
                               then write LINE + CR LF and close; print "done"
  flock LOCK TRIGGER PATH LINE take flock(LOCK), print "locked", wait for TRIGGER, append LINE to
                               PATH, release; print "done"
  holdlock LOCK                take flock(LOCK), print "locked", keep it until killed
  pieces PATH TRIGGER A B      open PATH for appending, write A (no line end), print "first",
                               wait until TRIGGER exists, write B + CR LF and close; print "done"
  jobs PATH COUNT TAG MS TEMPLATE
                               like append, but each line is TEMPLATE with {n} replaced by the
                               line's number (job lines for a real run)
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
    elif mode == "pieces":
        path, trigger, first, second = sys.argv[2:6]
        f = open(path, "a", newline="")
        f.write(first)
        f.flush()
        print("first", flush=True)
        wait_for(trigger)
        f.write(second + "\r\n")
        f.close()
    elif mode == "jobs":
        path, count, tag, ms, template = sys.argv[2], int(sys.argv[3]), sys.argv[4], float(sys.argv[5]), sys.argv[6]
        for n in range(count):
            with open(path, "a", newline="") as f:
                f.write(template.replace("{n}", "%s-%06d" % (tag, n)) + "\r\n")
            if ms:
                time.sleep(ms / 1000.0)
    elif mode == "holdlock":
        fd = os.open(sys.argv[2], os.O_RDWR | os.O_CREAT, 0o666)
        fcntl.flock(fd, fcntl.LOCK_EX)
        print("locked", flush=True)
        while True:
            time.sleep(60)
    print("done", flush=True)


if __name__ == "__main__":
    main()
