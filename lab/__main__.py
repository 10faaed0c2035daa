"""python -m lab watch --endpoint URL ...: the egress lab watching an emulator (see lab.watch)."""

import sys

if __name__ == "__main__":
    if sys.argv[1:2] != ["watch"]:
        print("usage: python -m lab watch --endpoint URL [--role ARN ...] [--drop IP] [--hang NAME]", file=sys.stderr)
        sys.exit(2)
    from lab.watch import main

    sys.exit(main(sys.argv[2:]))
