// A libX11.so.6 without a single Xlib call, for the test of a desktop whose
// display library cannot be used: the manager must go on headless.
int wtalvoc_not_xlib = 0;
