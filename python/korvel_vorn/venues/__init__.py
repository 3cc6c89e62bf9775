"""What the product knows of each exchange, one module per exchange: where to connect (URL
defaults and the environment variables that override them), archive paths, stream names, REST
paths and message fields. `convert`, `fetch` and `record` all take these from here."""
