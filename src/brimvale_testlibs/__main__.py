"""Module form of the console scripts (an extension module cannot be run with
``python -m`` itself):

    python -m brimvale_testlibs rollprobe ...
    python -m brimvale_testlibs cellscan ...
    python -m brimvale_testlibs egresscheck ...
"""

import sys

TOOLS = ("rollprobe", "cellscan", "egresscheck")


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] not in TOOLS:
        print(f"usage: python -m brimvale_testlibs {{{','.join(TOOLS)}}} [options]", file=sys.stderr)
        return 2
    tool = argv[0]
    sys.argv = [tool, *argv[1:]]
    if tool == "rollprobe":
        from brimvale_testlibs.bin import rollprobe as module
    elif tool == "egresscheck":
        from brimvale_testlibs.bin import egresscheck as module
    else:
        from brimvale_testlibs.bin import cellscan as module
    module.main()
    return 0


if __name__ == "__main__":
    sys.exit(main())
