"""python -m lab watch --endpoint URL ...: the egress lab watching an emulator (see lab.watch);
python -m lab root [--arch A]: the instance root (lab.instance_root); python -m lab suite [--arch A]
[pytest arguments]: the suite on the instance root's Python 3.9 against the cp39 manylinux wheel
(lab.suite_in_root); A: x86_64 or aarch64 (under emulation)."""

import sys

USAGE = (
    "usage: python -m lab watch --endpoint URL [--role ARN ...] | root [--arch A] | suite [--arch A] [pytest arguments]"
)

if __name__ == "__main__":
    command, rest = (sys.argv[1:2] or [""])[0], sys.argv[2:]
    if command == "watch":
        from lab.watch import main
    elif command == "root":
        from lab.instance_root import main
    elif command == "suite":
        from lab.suite_in_root import main
    else:
        print(USAGE, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(rest))
