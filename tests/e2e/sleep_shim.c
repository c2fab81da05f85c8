/* Placeholder; the real shim comes with the test host. */
