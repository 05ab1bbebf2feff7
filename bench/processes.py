"""Ending the helper processes the benchmarks start."""
import signal
import subprocess


def end_process(proc, sig=signal.SIGTERM, grace=10):
    """Sends `sig` to `proc` if it still runs, waits up to `grace` seconds,
    then kills it; returns once it has exited."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
