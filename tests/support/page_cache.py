"""Which pages of a file are in the page cache, by mincore on a mapping of
the file. Used by tests/cli_test.py and bench/zubench/machine.py."""
import ctypes
import mmap
import os


def resident_pages(path):
    """(pages of the file in the page cache, pages of the file), by mincore."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                          ctypes.c_int, ctypes.c_long]
    libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    size = os.path.getsize(path)
    page = os.sysconf("SC_PAGE_SIZE")
    vec = (ctypes.c_ubyte * ((size + page - 1) // page))()
    fd = os.open(path, os.O_RDONLY)
    try:
        addr = libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
    finally:
        os.close(fd)
    if addr in (None, ctypes.c_void_p(-1).value):
        raise OSError(ctypes.get_errno(), "mmap " + path)
    try:
        if libc.mincore(addr, size, vec) != 0:
            raise OSError(ctypes.get_errno(), "mincore " + path)
    finally:
        libc.munmap(addr, size)
    return sum(b & 1 for b in vec), len(vec)
