"""Runs a Python program in a process that may not create an io_uring.

Installs a seccomp filter that makes io_uring_setup fail with ENOSYS, as a kernel without
io_uring or a restrictive container does, then runs the rest of the command line like
`python -m`: `python without_io_uring.py -m pytest ...` or `python without_io_uring.py -c CODE`,
or replaces itself by a program, which keeps the filter: `without_io_uring.py --exec PROGRAM ...`.
The filter itself costs a little on every system call, so timings compare best against
programs run under it too.
"""

import ctypes
import errno
import os
import runpy
import sys

PR_SET_NO_NEW_PRIVS = 38
PR_SET_SECCOMP = 22
SECCOMP_MODE_FILTER = 2
SECCOMP_RET_ERRNO = 0x00050000
SECCOMP_RET_ALLOW = 0x7FFF0000
NR_IO_URING_SETUP = 425  # the same number on every 64-bit Linux architecture

BPF_LD_W_ABS = 0x20
BPF_JMP_JEQ_K = 0x15
BPF_RET_K = 0x06


class SockFilter(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8),
                ("k", ctypes.c_uint32)]


class SockFprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_uint16), ("filter", ctypes.POINTER(SockFilter))]


def forbid_io_uring():
    libc = ctypes.CDLL(None, use_errno=True)
    program = (SockFilter * 4)(
        SockFilter(BPF_LD_W_ABS, 0, 0, 0),  # the system call number
        SockFilter(BPF_JMP_JEQ_K, 0, 1, NR_IO_URING_SETUP),
        SockFilter(BPF_RET_K, 0, 0, SECCOMP_RET_ERRNO | errno.ENOSYS),
        SockFilter(BPF_RET_K, 0, 0, SECCOMP_RET_ALLOW),
    )
    fprog = SockFprog(len(program), program)
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_NO_NEW_PRIVS)")
    if libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.byref(fprog), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_SECCOMP)")


def io_uring_setup_errno():
    """0 when this process may create an io_uring, else the errno of the refusal."""
    libc = ctypes.CDLL(None, use_errno=True)
    params = ctypes.create_string_buffer(120)  # struct io_uring_params, zeroed
    fd = libc.syscall(NR_IO_URING_SETUP, 1, params)
    if fd < 0:
        return ctypes.get_errno()
    libc.close(fd)
    return 0


if __name__ == "__main__":
    forbid_io_uring()
    if sys.argv[1] == "-m":
        sys.argv = sys.argv[2:]
        runpy.run_module(sys.argv[0], run_name="__main__", alter_sys=True)
    elif sys.argv[1] == "-c":
        code = sys.argv[2]
        sys.argv = ["-c"] + sys.argv[3:]
        exec(compile(code, "<string>", "exec"), {"__name__": "__main__"})
    elif sys.argv[1] == "--exec":
        os.execv(sys.argv[2], sys.argv[2:])
