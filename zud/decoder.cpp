// Placeholder until the decoder is written.
