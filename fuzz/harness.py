"""Coverage-guided fuzzing of the reading side with atheris.

Each input is taken as a whole Zarn file: it is written to a file in
/dev/shm (the temporary directory where there is none), opened with
ZarnFile and walked through the public API (fuzz/walk.py). An exception
outside the documented ones escapes and is reported as a crash, as are the
sanitizers' reports and inputs that run past libFuzzer's -timeout.

Run it on the ZARN_FUZZ build with the preloaded runtime (fuzz/README.md):
    python fuzz/harness.py [libFuzzer options] CORPUS_DIR [SEED_DIR ...]
"""

import os
import sys
import tempfile

import atheris

with atheris.instrument_imports(include=["walk"]):
    import walk


def _scratch_path():
    folder = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else tempfile.gettempdir()
    return os.path.join(folder, f"zarn-fuzz-{os.getpid()}.zarn")


PATH = _scratch_path()


def test_one_input(data):
    walk.walk_bytes(data, PATH)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
