"""Synthetic stereo experiments with a known answer: renderer, example writer, ground truth.

- `dicpipe.synthetic.render`: ray-cast images of a speckled specimen through a load series;
- `dicpipe.synthetic.example`: `write_example`, a complete experiment directory with its truth;
- `dicpipe.synthetic.truth`: `Truth`, `load_truth`;
- `dicpipe.synthetic.check`: `check_results`, the results of a run against the truth (also a command,
  ``python -m dicpipe.synthetic.check EXAMPLE_DIR [RESULTS_DIR]``).
"""

from .example import write_example
from .truth import Truth, TruthError, load_truth

__all__ = ["Truth", "TruthError", "load_truth", "write_example"]
