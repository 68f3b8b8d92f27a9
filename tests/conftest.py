"""Session-wide hooks of the test suite."""

import gc


def pytest_unconfigure(config):
    # hypothesis times garbage collection with a gc callback that stops
    # working once its module is torn down at exit, and the interpreter's
    # final collections then leave cycles of grammar objects uncollected;
    # the binding library would report those as leaks. Remove the callback
    # and collect while every module is still intact, so that the report at
    # exit lists only objects that really outlive the suite.
    gc.callbacks[:] = [callback for callback in gc.callbacks
                       if not getattr(callback, "__module__", "").startswith("hypothesis")]
    gc.collect()
