"""python3 -m digisonde16c netcdf REC.16c OUT.nc [--force]

Writes the recording as a NetCDF-4 file, compressed, that reads back with
xarray to the dataset open_dataset(REC.16c) gives. The file is written under
a temporary name in OUT.nc's folder and renamed when complete, so that a
failure leaves no partial OUT.nc; an existing OUT.nc is kept unless --force
is given. Errors: one line on standard error and status 1.
"""

import argparse
import os
import sys
import tempfile
import warnings

from ._dataset import __version__, open_dataset

PROGRAM = "python3 -m digisonde16c"

# Numeric variables are compressed; texts of variable length cannot be.
COMPRESSION = {"zlib": True, "complevel": 4, "shuffle": True}


class CommandError(Exception):
    """A failure of the command, told in one line."""


def netcdf_encoding(dataset):
    return {name: dict(COMPRESSION) for name, variable in dataset.variables.items()
            if variable.dtype.kind in "biufcS" and variable.ndim > 0}


def write_netcdf(dataset, output, force):
    """Writes `dataset` to `output` through a temporary file in its folder."""
    folder = os.path.dirname(os.path.abspath(output))
    try:
        handle, temporary = tempfile.mkstemp(
            prefix="." + os.path.basename(output) + ".", suffix=".part", dir=folder)
    except OSError as error:
        raise CommandError(f"cannot write {output}: {error.strerror}") from None
    os.close(handle)
    try:
        with warnings.catch_warnings():
            # NaT times pass through a float cast inside xarray's encoder.
            warnings.filterwarnings("ignore", "invalid value encountered in cast",
                                    RuntimeWarning)
            dataset.to_netcdf(temporary, format="NETCDF4", engine="netcdf4",
                              encoding=netcdf_encoding(dataset))
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        if force:
            os.replace(temporary, output)
        else:
            # A link never replaces an existing file, also one that appeared
            # while the recording was being decoded.
            try:
                os.link(temporary, output)
            except FileExistsError:
                raise CommandError(f"{output} exists; give --force to replace it") from None
            os.unlink(temporary)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        if isinstance(error, (OSError, RuntimeError)):
            reason = getattr(error, "strerror", None) or str(error)
            raise CommandError(f"cannot write {output}: {reason}") from None
        raise


def netcdf_command(arguments):
    if not arguments.force and os.path.lexists(arguments.output):
        raise CommandError(f"{arguments.output} exists; give --force to replace it")
    dataset = open_dataset(arguments.recording, frequency=arguments.frequency,
                           correct_phase=arguments.correct_phase)
    write_netcdf(dataset, arguments.output, arguments.force)


def parser():
    top = argparse.ArgumentParser(
        prog=PROGRAM, description="Digisonde 256 16-channel recordings as NetCDF files.")
    top.add_argument("--version", action="version", version=f"digisonde16c {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    netcdf = commands.add_parser(
        "netcdf", help="write a recording as a NetCDF-4 file",
        description="Write a recording as a compressed NetCDF-4 file.")
    netcdf.add_argument("recording", metavar="REC.16c")
    netcdf.add_argument("output", metavar="OUT.nc")
    netcdf.add_argument("--force", action="store_true", help="replace an existing OUT.nc")
    netcdf.add_argument("--frequency", type=float, metavar="MHZ",
                        help="only the groups within 0.02 MHz of MHZ (as tolvek -f)")
    netcdf.add_argument("--correct-phase", action="store_true",
                        help="correct the phases for range (as tolvek -c)")
    return top


def main(argv=None):
    arguments = parser().parse_args(argv)
    try:
        netcdf_command(arguments)
    except CommandError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        # The error names the file it is about.
        name = error.filename if error.filename is not None else arguments.output
        reason = error.strerror or str(error)
        print(f"{PROGRAM}: {name}: {reason}", file=sys.stderr)
        return 1
    except ValueError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
