"""brimvale_testlibs package."""
