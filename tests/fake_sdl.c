/* A library that has the file name of a media library but none of its entries. */
int quillmoor_fake_library_marker(void) { return 42; }
