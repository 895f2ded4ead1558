"""LangChain vector store over a tarnwick VectorStorage (extra: tarnwick[langchain])."""
from langchain_tarnwick.vectorstores import TarnwickVectorStore

__all__ = ["TarnwickVectorStore"]
