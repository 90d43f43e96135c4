"""The files of one row of a suite, in the row's own directory (`dir`)."""
import os


class RowFiles:
    dir = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
