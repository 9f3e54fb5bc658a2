"""python3 -m tonewright batch ... | catalog ...  (see batch.py and catalog.py)"""
import sys


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] in ("-h", "--help"):
        print("usage: python3 -m tonewright batch JOB [options] PATHS...\n"
              "       python3 -m tonewright catalog [--catalog F] [--job J] [--failed] [--csv | --jsonl]\n"
              "Each takes --help.")
        return 0 if argv else 1
    if argv[0] == "batch":
        from . import batch
        return batch.run(argv[1:])
    if argv[0] == "catalog":
        from . import catalog
        return catalog.main(argv[1:])
    print(f"tonewright: unknown command '{argv[0]}' (batch or catalog)", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
