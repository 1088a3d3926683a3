"""digisonde16c netcdf REC.16c OUT.nc [--force] [--compression C]
digisonde16c convert [--to netcdf|zarr] ARCHIVE_DIR OUT_DIR [...]
digisonde16c summary ARCHIVE_DIR OUT.nc [...]
digisonde16c drift ARCHIVE_OR_RECORDING OUT.nc [--interval S] [...]
digisonde16c scale ARCHIVE_OR_RECORDING OUT.nc [--csv OUT.csv] [...]

(the console script digisonde16c, or python3 -m digisonde16c).

netcdf writes one recording as a NetCDF-4 file, compressed, that reads back
with xarray to the dataset open_dataset(REC.16c) gives. The file is written
under a temporary name in OUT.nc's folder and renamed when complete, so that
a failure leaves no partial OUT.nc; an existing OUT.nc is kept unless
--force is given. --compression picks the compression (zlib level 1 with
shuffle by default), --no-packing keeps the amplitudes and phases in
single precision. Errors: one line on standard error and status 1.

convert and summary do every recording under a folder on a Dask cluster (a
LocalCluster of worker processes, or the cluster at --scheduler): convert
writes each recording to a file of its own in a mirrored folder tree,
skipping those written before; summary writes one small dataset of them
all. A recording that fails does not stop the others: every failure is
listed at the end, one line each, and the status is 1. A scheduler that
does not answer within --timeout seconds (default 10) is one line and
status 1. drift writes the drift velocities of every recording
(drift_velocity) as one time series; scale the scaled characteristics of
every sweep.
"""

import argparse
import os
import sys

from ._archive import SchedulerUnreachable
from ._dataset import __version__, open_dataset
from ._write import COMPRESSION_HELP, WriteError, parse_compression, write_netcdf

# The name in messages: the console script's, or the module's run by -m.
PROGRAM = ("digisonde16c" if os.path.basename(sys.argv[0]) == "digisonde16c"
           else "python3 -m digisonde16c")


class CommandError(Exception):
    """A failure of the command, told in one line."""


def netcdf_command(arguments):
    if not arguments.force and os.path.lexists(arguments.output):
        raise CommandError(f"{arguments.output} exists; give --force to replace it")
    parse_compression(arguments.compression, "netcdf")
    dataset = open_dataset(arguments.recording, frequency=arguments.frequency,
                           correct_phase=arguments.correct_phase)
    write_netcdf(dataset, arguments.output, arguments.force, arguments.compression,
                 arguments.packing)
    return 0


def report(line):
    print(line, file=sys.stderr, flush=True)


def archive_folder(arguments):
    if not os.path.isdir(arguments.archive):
        reason = "No such file or directory" if not os.path.lexists(arguments.archive) \
            else "Not a directory"
        raise CommandError(f"{arguments.archive}: {reason}")
    if arguments.workers is not None and arguments.scheduler:
        raise CommandError("give --workers or --scheduler, not both")


def cluster(arguments):
    try:
        import dask.distributed  # noqa: F401 pylint: disable=import-outside-toplevel
    except ImportError as error:
        raise CommandError(f"no {error.name or 'dask.distributed'}: the archive commands need "
                           "Dask (Debian packages python3-dask and python3-distributed)") from None
    from . import _archive
    return _archive.dask_client(arguments.scheduler, arguments.workers, arguments.timeout)


def finish(found, failures):
    """The status of an archive command, after listing its failures."""
    if failures:
        report(f"{PROGRAM}: {len(failures)} of {found} recordings failed:")
        for path, reason in failures:
            report(f"{path}: {reason}")
        return 1
    return 0


def no_recordings(arguments):
    return CommandError(f"no file named {arguments.pattern} under {arguments.archive}")


def convert_command(arguments):
    from . import _archive

    archive_folder(arguments)
    parse_compression(arguments.compression, arguments.to)
    with cluster(arguments) as client:
        found, _, failures = _archive.convert_archive(
            client, arguments.archive, arguments.out_dir, arguments.to, arguments.pattern,
            arguments.frequency, arguments.correct_phase, report, arguments.compression,
            arguments.packing)
    if found == 0 and not failures:
        raise no_recordings(arguments)
    return finish(found, failures)


def summary_command(arguments):
    from . import _archive

    archive_folder(arguments)
    if not arguments.force and os.path.lexists(arguments.output):
        raise CommandError(f"{arguments.output} exists; give --force to replace it")
    with cluster(arguments) as client:
        dataset, found, failures = _archive.summarize_archive(
            client, arguments.archive, arguments.pattern, report)
    if found == 0 and not failures:
        raise no_recordings(arguments)
    write_netcdf(dataset, arguments.output, arguments.force)
    return finish(found, failures)


def product_command(arguments, function, options, dim):
    """Runs a science product, function(dataset, **options), over every
    recording that arguments.source names (a folder or one recording) on the
    cluster, and writes the rows joined along `dim` to arguments.output.
    Returns (status, the joined dataset or None)."""
    from . import _archive

    if not os.path.lexists(arguments.source):
        raise CommandError(f"{arguments.source}: No such file or directory")
    if arguments.workers is not None and arguments.scheduler:
        raise CommandError("give --workers or --scheduler, not both")
    if not arguments.force and os.path.lexists(arguments.output):
        raise CommandError(f"{arguments.output} exists; give --force to replace it")
    with cluster(arguments) as client:
        dataset, found, failures = _archive.product_archive(
            client, arguments.source, function, options, dim, arguments.pattern, report)
    if found == 0 and not failures:
        raise CommandError(f"no file named {arguments.pattern} under {arguments.source}")
    if dataset is not None:
        write_netcdf(dataset, arguments.output, arguments.force)
    return finish(found, failures), dataset


def drift_command(arguments):
    from .drift import drift_recording

    options = {"interval": arguments.interval, "snr": arguments.snr,
               "ranges": None if arguments.ranges is None else tuple(arguments.ranges),
               "polarization": arguments.polarization, "declination": arguments.declination,
               "width": arguments.width}
    return product_command(arguments, drift_recording, options, "time")[0]


def add_product_arguments(command, replaced="OUT.nc"):
    """The arguments every science-product command takes: the source, the
    output file, --force (which replaces the files named by `replaced`) and
    the cluster options."""
    command.add_argument("source", metavar="ARCHIVE_OR_RECORDING",
                         help="a folder of recordings (searched at any depth) or one recording")
    command.add_argument("output", metavar="OUT.nc")
    command.add_argument("--force", action="store_true", help=f"replace an existing {replaced}")
    add_cluster_options(command)


def scale_command(arguments):
    from . import _scale

    if arguments.csv is not None and not arguments.force and os.path.lexists(arguments.csv):
        raise CommandError(f"{arguments.csv} exists; give --force to replace it")
    status, dataset = product_command(arguments, _scale.scale,
                                      {"ordinary": arguments.ordinary}, "sweep")
    if dataset is not None and arguments.csv is not None:
        _scale.write_csv(dataset, arguments.csv, arguments.force)
    return status


def positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {text}")
    return value


def add_cluster_options(command):
    command.add_argument("--scheduler", metavar="ADDRESS",
                         help="the scheduler of a running Dask cluster, e.g. "
                              "tcp://host:8786 (default: a cluster on this machine)")
    command.add_argument("--workers", type=positive, metavar="N",
                         help="worker processes of the cluster on this machine "
                              "(default: one per core)")
    command.add_argument("--pattern", default="*.16c", metavar="GLOB",
                         help="names of the recordings (default: %(default)s)")
    command.add_argument("--timeout", type=seconds, default=10, metavar="SECONDS",
                         help="how long to wait for the --scheduler to answer "
                              "(default: %(default)s)")


def seconds(text):
    value = float(text)
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a number of seconds above 0, not {text}")
    return value


def add_compression_options(command, default):
    command.add_argument("--compression", metavar="C",
                         help=f"{COMPRESSION_HELP} (default: {default})")
    command.add_argument("--no-packing", dest="packing", action="store_false",
                         help="store the amplitudes and phases in single precision, not as "
                              "16-bit integers with a scale factor (which read back to the "
                              "same values)")


def add_selection_options(command):
    command.add_argument("--frequency", type=float, metavar="MHZ",
                         help="only the groups within 0.02 MHz of MHZ (as tolvek -f)")
    command.add_argument("--correct-phase", action="store_true",
                         help="correct the phases for range (as tolvek -c)")


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
    add_selection_options(netcdf)
    add_compression_options(netcdf, "zlib:1")
    netcdf.set_defaults(run=netcdf_command)

    convert = commands.add_parser(
        "convert", help="write every recording of an archive as a file of its own",
        description="Write every recording under ARCHIVE_DIR (at any depth) to a NetCDF "
                    "file or Zarr store of its own under OUT_DIR, in the same folders, on a "
                    "Dask cluster. Recordings written before are skipped.")
    convert.add_argument("archive", metavar="ARCHIVE_DIR")
    convert.add_argument("out_dir", metavar="OUT_DIR")
    convert.add_argument("--to", choices=("netcdf", "zarr"), default="netcdf",
                         help="NetCDF-4 files (.nc) or Zarr stores (.zarr)")
    add_cluster_options(convert)
    add_selection_options(convert)
    add_compression_options(convert, "zlib:1 for NetCDF, blosc:zstd:1 for Zarr")
    convert.set_defaults(run=convert_command)

    summary = commands.add_parser(
        "summary", help="one small dataset of every recording of an archive",
        description="Write one NetCDF file summing up every recording under ARCHIVE_DIR: "
                    "the strongest amplitude per frequency and gate range of each "
                    "recording, and the noise level of every group.")
    summary.add_argument("archive", metavar="ARCHIVE_DIR")
    summary.add_argument("output", metavar="OUT.nc")
    summary.add_argument("--force", action="store_true", help="replace an existing OUT.nc")
    add_cluster_options(summary)
    summary.set_defaults(run=summary_command)

    drift = commands.add_parser(
        "drift", help="drift velocities of a recording or of every recording of an archive",
        description="Write the drift velocities (drift_velocity) of every recording under "
                    "a folder, or of one recording, as one NetCDF time series with a "
                    "`recording` coordinate, one task per recording on a Dask cluster.")
    add_product_arguments(drift)
    drift.add_argument("--interval", type=float, metavar="S",
                       help="one velocity per window of S seconds (default: per group)")
    drift.add_argument("--snr", type=float, default=6.0, metavar="DB",
                       help="a source's strongest line above the noise level "
                            "(default: %(default)s)")
    drift.add_argument("--ranges", type=float, nargs=2, metavar=("MIN", "MAX"),
                       help="only sources within these virtual ranges (km)")
    drift.add_argument("--polarization", type=int, choices=(90, -90),
                       help="only beams of this polarization, +90 or -90 (default: all)")
    drift.add_argument("--declination", type=float, default=0.0, metavar="DEG",
                       help="added to the recorded azimuths (default: %(default)s)")
    drift.add_argument("--width", type=float, metavar="HZ",
                       help="spectral width (standard deviation) to assume for beams of two "
                            "Doppler lines; without it they give no source")
    drift.set_defaults(run=drift_command)

    scale = commands.add_parser(
        "scale", help="scale the ionograms of every sweep of an archive or a recording",
        description="Scale every sweep of the recordings under ARCHIVE_OR_RECORDING (or of "
                    "one recording) on a Dask cluster: foF2, fxF2, foE, fmin, h'F and h'E, "
                    "each with its uncertainty and confidence, written as one NetCDF file "
                    "along `sweep`, and with --csv as a table of one row per sweep.")
    add_product_arguments(scale, "OUT.nc or OUT.csv")
    scale.add_argument("--csv", metavar="OUT.csv",
                       help="also write a table, one row per sweep, URSI names as heads")
    scale.add_argument("--ordinary", type=int, choices=(90, -90), metavar="+90|-90",
                       help="polarization of the ordinary wave (default: decided from the "
                            "data of each recording)")
    scale.set_defaults(run=scale_command)
    return top


def main(argv=None):
    arguments = parser().parse_args(argv)
    try:
        return arguments.run(arguments)
    except (CommandError, WriteError, SchedulerUnreachable) as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        # The error names the file it is about.
        name = error.filename if error.filename is not None else getattr(arguments,
                                                                          "output", None)
        reason = error.strerror or str(error)
        print(f"{PROGRAM}: {name}: {reason}" if name is not None else f"{PROGRAM}: {reason}",
              file=sys.stderr)
        return 1
    except ValueError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
