"""A private place for a test that runs tessivo-peer on the test module: a work folder, a runtime
folder of its own on /dev/shm (so that tests running side by side never meet) and the module's
configuration, all removed afterwards."""
import contextlib
import os
import shutil
import tempfile


@contextlib.contextmanager
def peer_place(prefix, config):
    """Yields (work folder, environment for the peer); in `config`, the test module's
    configuration, '{work}' stands for the work folder."""
    work = tempfile.mkdtemp(prefix=prefix)
    run = tempfile.mkdtemp(dir='/dev/shm', prefix=prefix)
    try:
        path = os.path.join(work, 'module.conf')
        with open(path, 'w') as f:
            f.write(config.replace('{work}', work))
        yield work, dict(os.environ, TESSIVO_RUNTIME_DIR=run, TESSIVO_TESTMODULE_CONFIG=path)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(run, ignore_errors=True)
