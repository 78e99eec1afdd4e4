// The file system of kestrel_scatter for URLs (split/storage/file_system.hpp): read and
// written through the Python module kestrel_storage, which reaches them with fsspec
// (itself a backend per scheme). Registered for every URL scheme when the module is
// initialised.
//
// Contract: the engine calls the backend's objects without the interpreter lock; they
// take it around each call into Python (PyGILState, from any thread) and let it go
// again, so that reading ahead and uploading go on while the engine works. A Python
// exception that is no Exception (KeyboardInterrupt on Ctrl-C) ends the call with
// Interrupted, pending; an OSError becomes the IoError or stop that names the URL; any
// other exception of the store's setup (a missing package, a bad option) passes as it
// is. What a read gives back has been checked by kestrel_storage (the range asked for,
// whole, of the version first seen); a lock object that cannot be removed as the run
// ends is warned of (RuntimeWarning), not raised: the run's files are complete.
#pragma once

namespace kestrel::py {

// Registers the backend (once per process; later calls change nothing).
void install_python_storage();

}  // namespace kestrel::py
