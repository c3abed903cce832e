"""`python -m kesta.dravel` and the `dravel` command: the dravel command line.

Kept apart from the command line's own modules, whose imports (NumPy, the L1 library) take a
moment: a Ctrl-C during them ends the run as one at any other moment does."""
import sys


def main():
    try:
        from kesta.dravel.cli import main as run
    except KeyboardInterrupt:
        print("dravel: interrupted", file=sys.stderr)
        return 130
    return run(last=True)


if __name__ == "__main__":
    sys.exit(main())
