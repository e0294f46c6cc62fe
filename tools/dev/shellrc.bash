# rc file for `./dev shell`: the user's own settings, then a prompt that shows
# which environment the shell is in (the venv is already on PATH).
[[ -f ~/.bashrc ]] && source ~/.bashrc
PS1="(vorn:${VORN_ENV:-native}) ${PS1:-\\w \\$ }"
