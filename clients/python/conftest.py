# Here so that pytest puts this folder on sys.path: the tests use the package in place.
