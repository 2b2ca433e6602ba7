"""A small reader of ORTEC .spe text spectra, and where the measured spectra live.

    from spe import read_spe, spectra_folder
    spectrum = read_spe(path)
    spectrum.counts, spectrum.live_time, spectrum.energy(), spectrum.edges()

An .spe file is a list of `$KEY:` sections, each followed by its lines:
`$DATA:` a `first last` channel line and one count per line; `$MEAS_TIM:`
live and real time in seconds; `$MCA_CAL:` (else `$ENER_FIT:`) the energy
calibration E = a + b·ch + c·ch² in keV, ch counted from 0 at the channel's
centre; `$SHAPE_CAL:` the analysis program's FWHM calibration; `$ROI:` the
operator's regions as channel pairs. A calibration of all zeros is no
calibration (`calibration` is then None).

The measured spectra are not part of the project: `spectra_folder()` finds
them in $TARVIX_SPECTRA, else in ../shared/data/spectra beside the repository
(the main checkout or a worktree of it), and returns None where they are absent.
"""

import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np


@dataclass
class Spectrum:
    path: Path
    counts: np.ndarray                      # (n,) float64
    first_channel: int = 0
    live_time: float = float("nan")         # s
    real_time: float = float("nan")         # s
    calibration: tuple | None = None        # (a, b, c): E = a + b·ch + c·ch², keV
    shape_calibration: tuple | None = None  # as stored, the program's own FWHM law
    rois: list = field(default_factory=list)  # (first, last) channel pairs

    def energy(self, channel=None):
        """Energy in keV at channel positions (default: every channel's centre)."""
        if self.calibration is None:
            raise ValueError(f"{self.path.name}: no energy calibration")
        ch = np.arange(len(self.counts), dtype=np.float64) if channel is None else np.asarray(channel, np.float64)
        a, b, c = self.calibration
        return a + b * ch + c * ch * ch

    def edges(self):
        """The (n + 1,) channel edges in keV: the calibration at ch − 0.5 … n − 0.5."""
        return self.energy(np.arange(len(self.counts) + 1, dtype=np.float64) - 0.5)


def _sections(lines):
    key, body = None, []
    for line in lines:
        line = line.strip()
        if line.startswith("$"):
            if key is not None:
                yield key, body
            key, body = line.rstrip(":").lstrip("$").upper(), []
        elif key is not None and line:
            body.append(line)
    if key is not None:
        yield key, body


def _calibration(body):
    # The line holding the coefficients is the last one (MCA_CAL starts with their count).
    values = [float(v) for v in body[-1].split()[:3]]
    values += [0.0] * (3 - len(values))
    return tuple(values) if any(values) else None


def read_spe(path):
    path = Path(path)
    text = path.read_text(errors="replace").splitlines()
    spectrum = Spectrum(path=path, counts=np.zeros(0))
    ener_fit = None
    for key, body in _sections(text):
        if key == "DATA":
            first, last = (int(v) for v in body[0].split()[:2])
            counts = np.array([float(v) for v in body[1:last - first + 2]], dtype=np.float64)
            if len(counts) != last - first + 1:
                raise ValueError(f"{path.name}: $DATA: says {last - first + 1} channels, holds {len(counts)}")
            spectrum.counts, spectrum.first_channel = counts, first
        elif key == "MEAS_TIM":
            spectrum.live_time, spectrum.real_time = (float(v) for v in body[0].split()[:2])
        elif key == "MCA_CAL" and body:
            spectrum.calibration = _calibration(body)
        elif key == "ENER_FIT" and body:
            ener_fit = _calibration(body)
        elif key == "SHAPE_CAL" and body:
            spectrum.shape_calibration = tuple(float(v) for v in body[-1].split())
        elif key == "ROI" and body:
            spectrum.rois = [tuple(int(v) for v in line.split()[:2]) for line in body[1:]]
    if spectrum.calibration is None:
        spectrum.calibration = ener_fit
    return spectrum


def spectra_folder():
    """The folder of measured spectra, or None where it is absent."""
    candidates = []
    if os.environ.get("TARVIX_SPECTRA"):
        candidates.append(Path(os.environ["TARVIX_SPECTRA"]))
    repo = Path(__file__).resolve().parents[1]
    candidates += [repo / ".." / "shared" / "data" / "spectra", repo.parents[1] / "shared" / "data" / "spectra"]
    for folder in candidates:
        if (folder / "INVENTORY.md").is_file():
            return folder.resolve()
    return None


# The HPGe spectra of that folder, by file name.
HPGE_FILES = (
    "1110C NAA cave background May 2017.spe",
    "1110C NAA cave pottery.Spe",
    "Mendocino_07-10-13_Acq-10-10-13.Spe",
    "Alcatraz14.spe",
    "01122014152731-GT01122014182338-GA37.4963000N-GO122.4633000W.spe",
)
