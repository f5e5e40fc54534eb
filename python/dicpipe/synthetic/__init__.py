"""Synthetic stereo experiments with a known answer: renderer, example writer, ground truth."""
