"""A small Flask application on zelweb's WSGI interface: a page from a template, a
form, a visit counter in the session cookie, a JSON API and a file upload.

    python3 -m pip install flask
    python3 examples/flask_app.py [host] [port]      (default: 127.0.0.1 8080)
    zelweb --app-dir examples flask_app:app          (the same, with the zelweb command)

    curl 'http://127.0.0.1:8080/?name=Ada'
    curl -i --json '{"text": "buy milk"}' http://127.0.0.1:8080/api/notes     (201)
    curl http://127.0.0.1:8080/api/notes
    curl -F file=@report.pdf -F file=@notes.txt http://127.0.0.1:8080/upload

Uploads are kept in uploads/ under the current directory. The session cookie is
signed with SECRET_KEY from the environment (a random key otherwise, which
changes at every start and differs between workers: set one in production).
"""
import os
import sys
import threading
import uuid
from typing import Dict, List, Tuple, Union

from flask import Flask, Response, jsonify, redirect, render_template_string, request, session
from werkzeug.utils import secure_filename
from werkzeug.wrappers import Response as BaseResponse

import zelweb

app = Flask(__name__)
app.secret_key = os.environ.get("SECRET_KEY") or os.urandom(32)
UPLOADS = os.path.abspath("uploads")

PAGE = """<!doctype html>
<title>zelweb and Flask</title>
<h1>Hello, {{ name }}!</h1>
<p>Visits in this session: {{ visits }}.</p>
<form method="post" action="{{ url_for('add_note_form') }}">
  <input name="text" placeholder="a note"> <button>Add</button>
</form>
<ul>{% for note in notes %}<li>{{ note }}</li>{% endfor %}</ul>
<form method="post" action="{{ url_for('upload') }}" enctype="multipart/form-data">
  <input type="file" name="file" multiple> <button>Upload</button>
</form>
"""

_lock = threading.Lock()  # requests run on several threads at once
_notes: List[str] = []


def add_note(text: str) -> int:
    with _lock:
        _notes.append(text)
        return len(_notes)


@app.get("/")
def index() -> str:
    session["visits"] = session.get("visits", 0) + 1
    with _lock:
        notes = list(_notes)
    return render_template_string(PAGE, name=request.args.get("name", "world"),
                                  visits=session["visits"], notes=notes)


@app.post("/notes")
def add_note_form() -> BaseResponse:
    text = request.form.get("text", "").strip()
    if text:
        add_note(text)
    return redirect("/", 303)


@app.get("/api/notes")
def list_notes() -> Response:
    with _lock:
        return jsonify([{"id": i + 1, "text": t} for i, t in enumerate(_notes)])


@app.post("/api/notes")
def create_note() -> Tuple[Response, int]:
    data = request.get_json(silent=True)
    if not isinstance(data, dict) or not isinstance(data.get("text"), str):
        return jsonify({"error": 'expected {"text": "..."}'}), 400
    note_id = add_note(data["text"])
    return jsonify({"id": note_id, "text": data["text"]}), 201


@app.post("/upload")
def upload() -> Union[Response, Tuple[Response, int]]:
    files = request.files.getlist("file")
    if not files:
        return jsonify({"error": "no file"}), 400
    os.makedirs(UPLOADS, exist_ok=True)
    kept: List[Dict[str, Union[str, int]]] = []
    for f in files:
        name = secure_filename(f.filename or "") or "upload"
        path = os.path.join(UPLOADS, uuid.uuid4().hex + "-" + name)
        f.save(path)  # Flask streams it to disk from wsgi.input
        kept.append({"name": name, "size": os.path.getsize(path)})
    return jsonify(kept)


if __name__ == "__main__":
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 8080
    zelweb.serve(app, host, port, interface="wsgi")
