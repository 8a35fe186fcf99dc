# Sourced by submit.sh and scripts/scale_out.sh: the inputs of a folder as the
# engine's batch listing takes them (app/BatchRunner.cpp, collectInputFiles),
# in one place for both scripts.
#
# The engine takes the files directly in the folder (through links, hidden
# ones too) whose names end in .wav in any letter case, but not the
# intermediate files it writes itself, whose names it compares ignoring case.
# The names below are the engine's (common/IntermediateNames.h, `all`);
# tests/test_slurm_array.cpp holds the two lists and the two listings to each
# other.
intermediate_names=(_stage0_prefiltered.wav _stage1_denoised.wav _df3_resampled_48k.wav _df3_resample_back.wav)

# is_intermediate_name NAME: true when NAME, ignoring case, is one of them.
is_intermediate_name() {
  local name=${1,,} intermediate
  for intermediate in "${intermediate_names[@]}"; do
    [ "$name" != "$intermediate" ] || return 0
  done
  return 1
}

# list_inputs FOLDER: prints the input files' paths, each ended by a NUL, in
# byte order of their names (LC_ALL=C). The engine itself takes them in the
# order the folder gives them, which is no order at all; the scripts need one
# that a rerun and every machine agree on.
list_inputs() {
  local file
  while IFS= read -r -d '' file; do
    is_intermediate_name "${file##*/}" || printf '%s\0' "$file"
  done < <(find -L "$1" -mindepth 1 -maxdepth 1 -type f -iname '*.wav' -print0 | LC_ALL=C sort -z)
}
